"""The tray item as a host sees it: menu, tooltip, icon, and following the panel as it
comes, goes and comes back."""

import itertools

import pytest

from harness import bus
from harness.screen import DARK_PANEL, LIGHT_PANEL, popups_of, read_title
from harness.tray import NotificationArea, Watcher
from harness.waiting import serve, wait_for

MENU = ["Starting collector\u2026 (disabled)", "---", "Open dashboard", "Pause reporting",
        "Restart collector", "Show logs", "Start at login [ ]", "---", "Quit for this session"]
GRACE_S = 10  # how long after launch a missing tray counts as missing
SETTLE_S = 7  # two looks for an X11 tray, and slack
REFRESH_S = 3  # how often the app looks at its collector


@pytest.mark.parametrize("session", ["x11", "wayland"], indirect=True)
def test_menu_and_item_right_after_launch(app, watcher):
    item = app.launch_into_tray(watcher)
    assert item.entries() == MENU
    assert all(child["props"].get("visible", True) for child in item.layout()["children"])
    assert item.prop("Status") == "Active"  # hosts hide passive items
    # Every image travels in each IconPixmap reply: small ones only.
    assert sorted(p.width for p in item.pixmaps()) == [16, 22, 24, 32, 48, 64]


@pytest.mark.parametrize("session", ["x11", "wayland"], indirect=True)
def test_without_tray_says_so_once_and_shows_the_item_when_one_comes(session, app):
    notices = NotificationArea(session)
    app.start()
    app.wait_for_launches(1)  # without a tray the app still does its job
    wait_for(lambda: notices.received, GRACE_S + SETTLE_S, "a notice about the missing tray")
    serve(SETTLE_S)
    assert len(notices.received) == 1
    name, body = notices.received[0]
    assert name == "Orlinde" and "tray" in body
    tray = Watcher(session)
    item = tray.item_of(app.pid, 10)
    assert item.pixmaps()
    serve(SETTLE_S)
    assert len(notices.received) == 1 and app.process.poll() is None
    tray.close()


@pytest.mark.parametrize("host, misses_early, replaced", [
    ("ready", False, False),
    ("signal", False, False),  # the host registers after its watcher
    ("properties", False, False),  # ... and says so only by PropertiesChanged
    ("signal", True, False),  # the host lists items once, missing earlier ones (waybar)
    ("signal", False, True),  # a panel died before its host registered; the next replaced it
])
def test_item_follows_a_panel_that_comes_within_the_grace(session, app, host, misses_early, replaced):
    notices = NotificationArea(session)
    app.start()
    serve(1 if replaced else 3)
    dying = Watcher(session, host="never") if replaced else None
    serve(0.3 if replaced else 0)
    tray = Watcher(session, host=host, misses_early=misses_early)
    item = tray.item_of(app.pid, 10)
    assert item.prop("ItemIsMenu") is True
    serve(GRACE_S + 2)
    assert notices.received == []
    del dying


def test_item_registers_again_when_the_watcher_comes_back_on_the_same_connection(app, watcher):
    """A panel plugin removed and added again releases and re-takes the watcher's name."""
    app.launch_into_tray(watcher)
    watcher.release()
    serve(1)
    watcher.shown.clear()
    watcher.take()
    assert watcher.item_of(app.pid, 10)


def test_dbusmenu_answers_every_call_as_the_protocol_says(app, watcher):
    item = app.launch_into_tray(watcher)
    ids = [child["id"] for child in item.layout()["children"]]
    status, login = ids[0], ids[6]
    unknown = max(ids) + 100

    def error_of(method, signature, *args):
        # A protocol answer comes at once; no answer within a second is no answer.
        return bus.error_name(lambda: item.menu_call(method, signature, args, timeout_ms=1000))

    assert item.menu_call("GetProperty", "is", (status, "label"))[0] == "Starting collector\u2026"
    for entry, name in [(status, "icon-name"), (login + 1, "toggle-state"), (unknown, "label")]:
        assert error_of("GetProperty", "is", entry, name), (entry, name)
    everything = item.menu_call("GetGroupProperties", "aias", ([], []))[0]
    assert sorted(entry for entry, _ in everything) == sorted(ids)
    only_labels = item.menu_call("GetGroupProperties", "aias", ([status], ["label"]))[0]
    assert only_labels == [(status, {"label": "Starting collector\u2026"})]
    assert error_of("GetLayout", "iias", unknown, -1, [])
    assert error_of("EventGroup", "a(isvu)", [(unknown, "clicked", bus.GLib.Variant("i", 0), 0)])
    updates, errors = item.menu_call("AboutToShowGroup", "ai", ([status, unknown],))
    assert errors == [unknown]
    assert error_of("AboutToShow", "i", unknown)


@pytest.mark.parametrize("product, title", [(True, "OLH"), (None, "OL")])
def test_icon_and_tooltip_show_the_state(session, make_app, watcher, product, title):
    shown = {}  # status line -> the icon's images, largest first

    def look(item, status):
        item.wait_for_status(status)
        wait_for(lambda: item.tooltip() == ("Orlinde", status), 10, f"the tooltip to say {status!r}")
        shown[status] = item.pixmaps()

    app, failing = make_app(), make_app(identifier="com.example.orlinde.failing")
    if product is not None:
        app.settings["product"] = failing.settings["product"] = product
    app.collector_mode("connected")
    item = app.launch_into_tray(watcher)
    look(item, "Connected to dashboard")
    sent = item.record_signals()
    serve(2 * REFRESH_S + 1)
    assert sent == [], "refreshes that change nothing send nothing"
    app.collector_mode("disconnected")
    look(item, "Reconnecting\u2026")
    item.click("Pause reporting")
    look(item, "Reporting paused")
    item.click("Resume reporting")
    look(item, "Reconnecting\u2026")

    failing.settings["node"] = failing.in_root("not-executable")
    open(failing.settings["node"], "w").close()
    item = failing.launch_into_tray(watcher)
    look(item, "Collector failed to start")
    assert item.prop("Status") == "Active"  # asking for attention is not chosen yet

    for one, other in itertools.combinations(shown, 2):
        for a, b in zip(shown[one], shown[other]):
            assert a.tobytes() != b.tobytes(), f"{one!r} and {other!r} look alike at {a.width} px"
    unread = [(status, icon.width, panel) for status, icons in shown.items() for icon in icons
              for panel in (LIGHT_PANEL, DARK_PANEL) if title not in read_title(icon, panel)]
    assert unread == []


@pytest.mark.parametrize("method, click, close, scale", [
    pytest.param("Activate", (640, 10), ["key", "Escape"], "1", id="panel at the top, Escape"),
    pytest.param("ContextMenu", (1270, 1015), ["mousemove", "100", "500", "click", "1"], "1",
                 id="bottom right corner, a click elsewhere"),
    pytest.param("Activate", (1000, 1015), ["key", "Escape"], "2", id="scaled twice, bottom"),
])
def test_a_click_the_host_hands_on_opens_the_menu_where_it_was(session, app, watcher, method, click, close,
                                                               scale):
    """lxqt-panel ignores ItemIsMenu and asks the item to act on a click, at a point in the
    display's pixels however Qt scales its windows."""
    item = app.launch_into_tray(watcher, env={"QT_SCALE_FACTOR": scale})
    item.call(method, "ii", click)
    (x, y, width, height), = wait_for(lambda: popups_of(session, app.pid), 10, "the menu as a popup")
    below, above = abs(y - 1 - click[1]), abs(y + height - click[1])
    assert x <= click[0] < x + width and min(below, above) <= int(scale), (click, (x, y, width, height))
    session.run(["xdotool", *close])
    wait_for(lambda: not popups_of(session, app.pid), 10, "the menu to close")


@pytest.mark.parametrize("session", ["wayland"], indirect=True)
def test_on_wayland_a_click_is_left_to_the_host(app, watcher):
    """No Wayland client can place a popup on the screen: the host shows the exported menu."""
    item = app.launch_into_tray(watcher)
    assert bus.error_name(lambda: item.call("Activate", "ii", (640, 10)))
