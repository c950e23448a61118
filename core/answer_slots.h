#pragma once
// The answer slots of one register: where the dispatcher leaves the answers
// that the register sends to host commands, and where the commands waiting
// on that register find them. Every port entry has its own, so an answer
// only ever satisfies a command waiting on the port it came from.
//
// Synchronisation: the dispatcher fills the slots on the thread of the
// control that dispatches the port's messages; the commands read them on the
// thread that calls them (the same thread in practice, but a command may be
// called through another control). Every access goes through Access(), under
// the slots' own lock.
#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tarvo::core {

struct Curr {
  std::string name;
  std::int32_t rate = 0;
  std::int32_t nod = 0;
};

struct Clerk {
  std::string name;
  std::string kept1;  // first kept field, 2 bytes as received
  std::int32_t code = 0;
  std::string kept2;  // second kept field, 2 bytes as received
};

struct ClerkTable {
  std::int32_t count = 0;
  std::vector<Clerk> records;
};

// One register table as the register sent it in answer to a read: the count
// of its header and the table data.
struct TableRead {
  std::uint16_t count = 0;
  std::string data;
};

struct AnswerData {
  // The data of the last table transfer or the last check answer.
  std::string ResponseSlot;
  // What filled ResponseSlot: the message kind (0 while nothing has) and,
  // for a table transfer, its five function bytes.
  std::uint8_t ResponseKind = 0;
  std::string ResponseFunction;
  std::array<Curr, 4> CurrencyTable;
  ClerkTable Clerks;
  // The answers to table reads (function 03 00 00 00 t) by table number t,
  // each kept whole until the next answer for the same table. A command that
  // reads a table removes its entry before it asks, so that only the answer
  // to its own request can satisfy it.
  std::map<std::uint8_t, TableRead> TableReads;
};

class AnswerSlots {
 public:
  // Runs f(AnswerData&) under the slots' lock and returns its result.
  template <class F>
  auto Access(F&& f) {
    std::lock_guard<std::mutex> lock(mu_);
    return f(data_);
  }
  bool ResponseEmpty() {
    return Access([](AnswerData& d) { return d.ResponseSlot.empty(); });
  }
  std::string Response() {
    return Access([](AnswerData& d) { return d.ResponseSlot; });
  }
  // Replaces the response (kind 0: of unknown origin) -- for tests and tools.
  void SetResponse(std::string r) {
    Access([&](AnswerData& d) {
      d.ResponseSlot = std::move(r);
      d.ResponseKind = 0;
      d.ResponseFunction.clear();
    });
  }
  void Clear() {
    Access([](AnswerData& d) { d = AnswerData{}; });
  }

 private:
  std::mutex mu_;
  AnswerData data_;
};

}  // namespace tarvo::core
