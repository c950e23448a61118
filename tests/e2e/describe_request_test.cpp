// The bridge's describe request: members, parameters and events as the type
// information has them, so that a client knows no member by name.
#include "e2e_fixture.h"

namespace tarvo::test {
namespace {

const Json* Named(const Json& list, const std::string& name) {
  for (const Json& item : list)
    if (item["name"] == name) return &item;
  return nullptr;
}

TEST(DescribeRequest, ListsMethodsWithParametersDirectionsAndTheirRetval) {
  BridgeProcess bridge;
  const Json r = bridge.Call(Json{{"id", 4}, {"describe", true}});
  ASSERT_EQ(r["id"], 4) << r.dump();
  ASSERT_EQ(r["hresult"], 0) << r.dump();
  const Json& d = r["result"];

  const Json* status = Named(d["methods"], "GetStatus");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ((*status)["dispid"], 224);
  EXPECT_EQ((*status)["params"],
            Json::parse(R"([{"name":"port_num","type":"unsigned char","json":"integer","direction":"in"},
                            {"name":"day_open","type":"VARIANT_BOOL","json":"boolean","direction":"inout"}])"));
  EXPECT_EQ((*status)["returns"], Json::parse(R"({"name":"Value","type":"long","json":"integer"})"));

  const Json* send_plu = Named(d["methods"], "SendPlu");
  ASSERT_NE(send_plu, nullptr);
  EXPECT_EQ((*send_plu)["params"].size(), 12u);
  EXPECT_EQ((*send_plu)["params"][2]["name"], "desc");
  EXPECT_EQ((*send_plu)["params"][2]["type"], "BSTR");
}

TEST(DescribeRequest, ListsPropertiesOnceWithTheirAccessAndEventsWithParameters) {
  BridgeProcess bridge;
  const Json d = bridge.Call(Json{{"describe", true}})["result"];
  std::size_t mode650 = 0;
  for (const Json& p : d["properties"]) mode650 += p["name"] == "Mode650";
  EXPECT_EQ(mode650, 1u);
  const Json* property = Named(d["properties"], "Mode650");
  ASSERT_NE(property, nullptr);
  EXPECT_EQ(*property, Json::parse(R"({"name":"Mode650","dispid":230,"type":"VARIANT_BOOL",
                                       "json":"boolean","get":true,"put":true})"));
  EXPECT_EQ(Named(d["methods"], "Mode650"), nullptr);

  EXPECT_EQ(d["events"].size(), 30u);
  const Json* inquiry = Named(d["events"], "OnPluInquire841");
  ASSERT_NE(inquiry, nullptr);
  ASSERT_FALSE((*inquiry)["params"].empty());
  EXPECT_EQ((*inquiry)["params"][0]["name"], "port_num");
  EXPECT_EQ((*inquiry)["params"][0]["direction"], "in");
}

}  // namespace
}  // namespace tarvo::test
