"""Monitor and window discovery on a real X server (Xvfb).

Window tests run on the test display and only assert about the windows they
create (other windows may exist there). Tests that need a particular server
set-up (monitor layouts, a window manager, a server that dies) start a
private Xvfb and point DISPLAY at it.
"""

import json
import os
import subprocess
import sys
import textwrap
import uuid

import pytest

import _native_core as m
from xwindows import (parse_xrandr_monitors, require_tools, wait_until, xwininfo_children,
                      xwininfo_map_state)

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="X11 backend")


def token():
    return uuid.uuid4().hex[:12]


def monitor_tuples():
    return [(i.index, i.name, i.x, i.y, i.width, i.height, i.is_primary)
            for i in m.list_monitors()]


def ours(infos, ids):
    """The records of `ids` among `infos`, in the order listed."""
    return [i for i in infos if i.handle in ids]


# --------------------------------------------------------------------------
# Monitors


class TestMonitors:
    def test_matches_xrandr_on_the_test_display(self, require_display):
        require_tools("xrandr")
        listed = subprocess.run(["xrandr", "--listmonitors"], check=True, capture_output=True,
                                text=True).stdout
        expected = parse_xrandr_monitors(listed)
        assert expected, "xrandr reports no monitor"
        assert monitor_tuples() == expected

    def test_two_monitors_primary_first_then_creation_order(self, x_server):
        server = x_server("+extension", "RANDR")
        server.set_monitor("RIGHT 960/254x1080/286+960+0 screen")
        server.set_monitor("*LEFT 960/254x1080/286+0+0 none")
        assert monitor_tuples() == [
            (0, "LEFT", 0, 0, 960, 1080, True),
            (1, "RIGHT", 960, 0, 960, 1080, False),
        ]
        assert monitor_tuples() == parse_xrandr_monitors(server.run("xrandr", "--listmonitors"))
        assert repr(m.list_monitors()[1]) == "MonitorInfo(index=1, name='RIGHT', 960x1080 @ (960,0))"

    def test_names_are_utf8_and_cut_to_31_units_without_splitting_a_pair(self, x_server):
        server = x_server("+extension", "RANDR")
        long_name = "M" * 30 + "\U0001D11E" + "tail"  # the pair would be units 31 and 32
        server.set_monitor("*Écran-ß 960/254x1080/286+0+0 screen")
        server.set_monitor(f"{long_name} 960/254x1080/286+960+0 none")
        assert [i.name for i in m.list_monitors()] == ["Écran-ß", "M" * 30]

    def test_without_randr_the_whole_screen_is_one_primary_monitor(self, x_server):
        x_server("-extension", "RANDR", size="1280x800")
        assert monitor_tuples() == [(0, "SCREEN", 0, 0, 1280, 800, True)]


# --------------------------------------------------------------------------
# Windows on the test display


class TestWindowRecords:
    def test_visible_titled_windows_are_listed_with_their_properties(self, x_windows):
        t = token()
        title = f"Vörel ✓ \U0001D11E {t}"
        a = x_windows.create(net_name=title, wm_class=("vorel-inst", "VorelClass"),
                             pid=4294967295)
        b = x_windows.create(wm_name=f"café {t}", wm_class=("i", "Clé"))
        hidden = x_windows.create(net_name=f"hidden {t}", mapped=False)
        untitled = x_windows.create(wm_class=("i", "Untitled"), pid=77)
        ids = {a, b, hidden, untitled}

        listed = ours(m.list_windows(), ids)
        assert [(i.handle, i.title, i.class_name, i.pid, i.visible) for i in listed] == [
            (b, f"café {t}", "Clé", 0, True),
            (a, title, "VorelClass", 4294967295, True),
        ]

        everything = {i.handle: i for i in ours(m.list_windows(include_hidden=True), ids)}
        assert set(everything) == ids
        assert (everything[hidden].title, everything[hidden].visible) == (f"hidden {t}", False)
        assert (everything[untitled].title, everything[untitled].class_name,
                everything[untitled].pid, everything[untitled].visible) == ("", "Untitled", 77, True)
        assert everything[a].as_dict() == {"handle": a, "title": title, "class_name": "VorelClass",
                                           "pid": 4294967295, "visible": True}

    @pytest.mark.parametrize("properties, expected", [
        (dict(net_name="net", wm_name="legacy"), "net"),
        (dict(net_name="", wm_name="legacy"), "legacy"),
        (dict(wm_name="ünï", wm_name_type="UTF8_STRING"), "ünï"),
        (dict(wm_name=b"\xe9t\xe9", wm_name_type="STRING"), "été"),
        (dict(wm_name=b"abc\x1b-A\xe9def", wm_name_type="COMPOUND_TEXT"), "abc\ufffddef"),
        (dict(wm_name=b"x\x1b$(Bxy\x1b(Bz", wm_name_type="COMPOUND_TEXT"), "x\ufffd\ufffdz"),
        (dict(wm_name=b"not text", wm_name_type="INTEGER"), ""),
        (dict(net_name="\U0001F600" * 3000 + "end"), "\U0001F600" * 3000 + "end"),
    ], ids=["net-wins", "empty-net", "utf8-wm-name", "latin1", "compound-gr", "compound-g0",
            "other-type", "long-astral"])
    def test_title_sources(self, x_windows, properties, expected):
        w = x_windows.create(**properties)
        assert m.find_window_by_handle(w).title == expected

    @pytest.mark.parametrize("wm_class, expected", [
        (b"instance-only\0", ""),
        (b"inst\0no-terminator", "no-terminator"),
        (("i", "C" * 300), "C" * 255),
    ], ids=["instance-only", "unterminated", "cut-to-255"])
    def test_class_name(self, x_windows, wm_class, expected):
        w = x_windows.create(net_name="c", wm_class=wm_class)
        assert m.find_window_by_handle(w).class_name == expected

    def test_order_is_top_most_first_as_xwininfo_stacks_them(self, x_windows, require_display):
        require_tools("xwininfo")
        t = token()
        first, second, third = (x_windows.create(net_name=f"{n} {t}") for n in "abc")
        x_windows.raise_window(first)
        expected = [first, third, second]
        assert [w for w in xwininfo_children(require_display) if w in expected] == expected
        assert [i.handle for i in ours(m.list_windows(), set(expected))] == expected

    def test_visibility_agrees_with_xwininfo(self, x_windows, require_display):
        require_tools("xwininfo")
        shown = x_windows.create(net_name="shown")
        hidden = x_windows.create(net_name="hidden", mapped=False)
        inside_hidden = x_windows.create(net_name="inside", parent=hidden)
        for w, visible in [(shown, True), (hidden, False), (inside_hidden, False)]:
            state = xwininfo_map_state(require_display, w)
            assert (state == "IsViewable") == visible
            assert m.find_window_by_handle(w).visible is visible


class TestFindWindow:
    def test_by_title_ignores_case_and_hidden_windows(self, x_windows):
        t = token()
        lower = x_windows.create(net_name=f"mixed {t} lower")
        hidden = x_windows.create(net_name=f"MIXED {t.upper()} HIDDEN", mapped=False)
        upper = x_windows.create(net_name=f"ΣΟΦΙΑ {t.upper()} UPPER")
        assert m.find_window_by_title(f"{t} LOWER").handle == lower
        assert m.find_window_by_title(f"σοφια {t}").handle == upper
        assert m.find_window_by_title(f"{t} hidden") is None
        assert hidden in {i.handle for i in m.list_windows(include_hidden=True)}

    def test_by_title_first_match_wins(self, x_windows):
        t = token()
        older = x_windows.create(net_name=f"twin {t} one")
        newer = x_windows.create(net_name=f"Twin {t} two")
        assert m.find_window_by_title(f"twin {t}").handle == newer
        x_windows.raise_window(older)
        assert m.find_window_by_title(f"TWIN {t}").handle == older
        assert m.find_window_by_title(f"no such window {t}") is None

    def test_by_empty_title_is_the_first_listed_window(self, x_windows):
        x_windows.create(net_name=f"top {token()}")
        assert m.find_window_by_title("").handle == m.list_windows()[0].handle

    def test_by_handle_describes_any_window(self, x_windows):
        hidden = x_windows.create(net_name="h", wm_class=("i", "HiddenClass"), pid=31,
                                  mapped=False)
        child = x_windows.create(net_name="child", parent=hidden, mapped=True)
        info = m.find_window_by_handle(hidden)
        assert (info.handle, info.title, info.class_name, info.pid, info.visible) == (
            hidden, "h", "HiddenClass", 31, False)
        assert (m.find_window_by_handle(child).title,
                m.find_window_by_handle(child).visible) == ("child", False)
        assert child not in {i.handle for i in m.list_windows(include_hidden=True)}

    def test_by_handle_rejects_what_is_no_window(self, x_windows):
        closed = x_windows.create(net_name=f"closing {token()}")
        x_windows.destroy(closed)
        assert m.find_window_by_handle(closed) is None
        assert closed not in {i.handle for i in m.list_windows(include_hidden=True)}
        assert m.find_window_by_handle(x_windows.new_pixmap()) is None
        for handle in (0, -1, 2**32, x_windows.root.id | (1 << 32)):
            assert m.find_window_by_handle(handle) is None


# --------------------------------------------------------------------------
# Window managers


class TestWindowManager:
    def test_client_list_of_a_running_manager(self, x_server):
        require_tools("evilwm")
        server = x_server()
        windows = server.windows()
        server.start_window_manager(windows)
        t = token()
        created = [windows.create(net_name=f"managed {n} {t}") for n in range(3)]
        untitled = windows.create()
        wait_until(lambda: set(created) <= set(windows.root_windows("_NET_CLIENT_LIST") or []),
                   "evilwm did not manage the windows")
        clients = windows.root_windows("_NET_CLIENT_LIST")
        # Reparented into frames: the windows are no longer children of the root.
        assert not set(created) & set(xwininfo_children(server.display))
        assert [i.handle for i in m.list_windows()] == [w for w in clients if w in created]
        assert untitled in {i.handle for i in m.list_windows(include_hidden=True)}

    def test_announced_manager_order_is_followed(self, x_server):
        server = x_server()
        windows = server.windows()
        a, b, c = (windows.create(net_name=n) for n in "abc")
        check = windows.create(mapped=False)
        windows.set_property(check, "_NET_SUPPORTING_WM_CHECK", "WINDOW", 32, [check])
        windows.set_property(None, "_NET_SUPPORTING_WM_CHECK", "WINDOW", 32, [check])
        windows.set_property(None, "_NET_CLIENT_LIST", "WINDOW", 32, [b, a])
        assert [i.title for i in m.list_windows(include_hidden=True)] == ["b", "a"]

        # Without the manager's own confirmation the properties are stale.
        windows.delete_property(check, "_NET_SUPPORTING_WM_CHECK")
        assert [i.title for i in m.list_windows()] == ["c", "b", "a"]

    def test_properties_left_by_a_dead_manager_are_ignored(self, x_server):
        require_tools("evilwm")
        server = x_server()
        windows = server.windows()
        server.start_window_manager(windows)
        created = [windows.create(net_name=n) for n in ("one", "two")]
        wait_until(lambda: set(created) <= set(windows.root_windows("_NET_CLIENT_LIST") or []),
                   "evilwm did not manage the windows")
        server.kill_window_manager()
        wait_until(lambda: set(created) <= set(xwininfo_children(server.display)),
                   "the windows did not return to the root")
        assert windows.root_windows("_NET_SUPPORTING_WM_CHECK")  # left behind
        windows.set_property(None, "_NET_CLIENT_LIST", "WINDOW", 32, created[:1])
        windows.raise_window(created[0])
        assert [i.handle for i in ours(m.list_windows(), set(created))] == created
        assert [w for w in xwininfo_children(server.display) if w in created] == created


# --------------------------------------------------------------------------
# No server, or a server that dies


PROBE = textwrap.dedent("""
    import json, sys
    import _native_core as m
    def snapshot(handle):
        window = m.find_window_by_handle(handle)
        return {"monitors": len(m.list_monitors()), "windows": len(m.list_windows(include_hidden=True)),
                "by_title": m.find_window_by_title("") is not None, "by_handle": window is not None}
    handle = int(sys.argv[1])
    if len(sys.argv) > 2:
        print(json.dumps(snapshot(handle)), flush=True)
        sys.stdin.readline()
    print(json.dumps(snapshot(handle)), flush=True)
""")
NOTHING = {"monitors": 0, "windows": 0, "by_title": False, "by_handle": False}


def free_display_number():
    n = 9999
    while os.path.exists(f"/tmp/.X11-unix/X{n}"):
        n -= 1
    return n


class TestWithoutServer:
    @pytest.mark.parametrize("display", [None, f":{free_display_number()}"], ids=["unset", "nobody"])
    def test_no_display_lists_nothing_and_prints_nothing(self, display):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        if display:
            env["DISPLAY"] = display
        done = subprocess.run([sys.executable, "-c", PROBE, "1"], env=env, capture_output=True,
                              text=True, timeout=30)
        assert (done.returncode, done.stderr) == (0, "")
        assert json.loads(done.stdout) == NOTHING

    def test_server_that_died_lists_nothing_and_prints_nothing(self, x_server):
        server = x_server("+extension", "RANDR")
        windows = server.windows()
        window = windows.create(net_name="doomed")
        probe = subprocess.Popen([sys.executable, "-c", PROBE, str(window), "wait"],
                                 env=server.env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            before = json.loads(probe.stdout.readline())
            server.kill()
            out, err = probe.communicate("go\n", timeout=30)
        finally:
            if probe.poll() is None:
                probe.kill()
                probe.wait()
        assert before == {"monitors": 1, "windows": 1, "by_title": True, "by_handle": True}
        assert (probe.returncode, err) == (0, "")
        assert json.loads(out) == NOTHING
