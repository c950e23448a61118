"""The package against `tarvomdrv simulate`: members from the description,
events to callbacks, failures as exceptions, release on leaving the block."""
import inspect

import pytest

import tarvomdrv

ARTICLE = dict(desc="Kenyér", group1=1, group2=0, group3=0, status="110000000011", vtsz="",
               link="", price1=100, price2=0, price3=0)


def test_a_plu_inquiry_is_answered_from_a_callback(program, device_env, register):
    reg = register(5, [{"send": "plu_inquiry", "code": "5998"},
                       {"expect": "plu", "code": "5998", "timeout_ms": 20000}])
    answered = []
    with tarvomdrv.Tarvo(program, env=device_env) as ecr:
        @ecr.on("OnPluInquire")
        def answer(port_num, plu_code, **_):
            answered.append(ecr.SendPlu(port_num=port_num, plu_code=plu_code, **ARTICLE))

        assert ecr.Init(port_num=5, baudrate=9600, log_size=0, sn_path="").Value == 0
        assert ecr.run(seconds=60, until=reg.finished)
    assert [r.Value for r in answered] == [0]
    out = reg.output()
    assert reg.proc.returncode == 0, out
    assert "script done" in out


def test_members_come_from_the_description_with_types_and_in_out_results(program, device_env):
    with tarvomdrv.Tarvo(program, env=device_env) as ecr:
        signature = inspect.signature(ecr.GetStatus)
        assert list(signature.parameters) == ["port_num", "day_open"]
        assert signature.parameters["port_num"].annotation is int
        assert signature.parameters["day_open"].default is None
        assert "in/out" in ecr.GetStatus.__doc__
        assert "OnPluInquire841" in ecr.events
        # No port open: result code 3, the in/out parameter comes back too.
        assert ecr.GetStatus(7) == {"Value": 3, "day_open": False}
        assert ecr.Mode650 is True
        ecr.Mode650 = False
        assert ecr.Mode650 is False


def test_failures_are_raised_with_hresult_and_description(program, device_env, register):
    # The register asks for one article and hangs up once it has the answer.
    reg = register(6, [{"send": "plu_inquiry", "code": "1"},
                       {"expect": "plu", "code": "1", "timeout_ms": 20000}])
    with tarvomdrv.Tarvo(program, env=device_env) as ecr:
        ecr.on("OnPluInquire", lambda port_num, plu_code, **_: ecr.SendPlu(
            port_num=port_num, plu_code=plu_code, **ARTICLE))
        assert ecr.Init(port_num=6, baudrate=9600, log_size=0, sn_path="").Value == 0
        assert ecr.run(seconds=60, until=reg.finished)
        with pytest.raises(tarvomdrv.TarvoError) as failure:
            ecr.GetStatus(port_num=6)
        assert failure.value.hresult & 0x80000000
        assert "WriteFile function failed" in failure.value.description
        with pytest.raises(tarvomdrv.RequestError):
            ecr.Mode650 = "not a boolean"
        with pytest.raises(TypeError):
            ecr.GetStatus(port_num=6, no_such_argument=1)
        with pytest.raises(AttributeError):
            ecr.NoSuchMethod()
        with pytest.raises(ValueError):
            ecr.on("OnNoSuchEvent", print)


def test_leaving_the_block_releases_the_control(program, device_env, register):
    register(7, [])
    destroyed = []
    with tarvomdrv.Tarvo(program, env=device_env) as ecr:
        ecr.on("OnDestroy", lambda: destroyed.append(True))
        assert ecr.PortOpen(port_num=7, baudrate=9600, log_size=0, sn_path="").Value == 0
    assert destroyed == [True]
    assert ecr.exit_code == 0
    with pytest.raises(tarvomdrv.RequestError):
        ecr.GetStatus(port_num=7)
    # The port was closed with the control: another control opens it at once.
    with tarvomdrv.Tarvo(program, env=device_env) as again:
        assert again.PortOpen(port_num=7, baudrate=9600, log_size=0, sn_path="").Value == 0
