"""The app in real panels, seen and clicked as a person would: xfce4-panel and lxqt-panel
(StatusNotifierItem hosts on X11), waybar on headless sway (Wayland) and trayer (XEmbed
only). Each panel's tests share one session, in order: the app starts before the panel, is
clicked, sends no notice by the end of its grace, outlives a panel restart, is quit."""

import os
import time

import pytest

from harness.app import BUILD, App
from harness.panels import PANELS, Desktop, missing, overlap
from harness.tray import NotificationArea
from harness.waiting import LAUNCH_S, serve, wait_for

GRACE_S = 10  # how long after launch a missing tray counts as missing


@pytest.fixture(scope="module", params=list(PANELS))
def desktop(request):
    """The panel's empty look, then the app started with the panel gone, as an agent
    started at login comes up before the panel, then the panel again."""
    if lacking := missing(request.param):
        pytest.skip(f"{request.param} needs {', '.join(lacking)}")
    desktop = Desktop(request.param, os.path.join(BUILD, "tests/system/panels", request.param))
    try:
        desktop.start_panel()
        desktop.empty = desktop.settled_screenshot("empty-panel")
        desktop.stop_panel()
        desktop.notices = NotificationArea(desktop.session)
        desktop.app = App(desktop.session)
        desktop.app.collector_mode("connected")
        desktop.app.start()
        desktop.started = time.monotonic()
        wait_for(lambda: os.path.exists(desktop.app.in_root(".data/desktop-status.json")), LAUNCH_S,
                 "the collector's first report, with no panel")
        desktop.start_panel()
        yield desktop
    finally:
        desktop.close()


def shown_icon(desktop):
    wait_for(lambda: desktop.has_item(desktop.app.pid), LAUNCH_S, f"the app's item in {desktop.name}")
    return desktop.icon(desktop.empty)


def test_icon_shows_for_an_app_started_before_the_panel(desktop):
    left, top, right, bottom = shown_icon(desktop)
    icon = desktop.screenshot("icon").crop((left, top, right, bottom))
    icon.resize((icon.width * 8, icon.height * 8)).save(os.path.join(desktop.artifacts, "icon-zoomed.png"))
    assert right - left <= 48 and bottom - top <= 48, "more than an icon changed on the panel"


@pytest.mark.parametrize("button", ["left", "right"])
def test_click_opens_a_popup_menu_with_the_live_status(desktop, button):
    icon = shown_icon(desktop)
    try:
        desktop.open_menu(icon, button, "Connected to dashboard")
        assert desktop.app_windows(desktop.app.pid) == 0, f"the {button} click opened a window of the app"
        own = desktop.menus(desktop.app.pid)
        if desktop.xembed:  # the app draws this menu itself: beside the icon, not over it
            assert own and not overlap(own[0], desktop.embedded[0]), f"menu {own} over the icon {desktop.embedded}"
        elif (desktop.name, button) != ("lxqt-panel", "left"):  # lxqt-panel activates the item instead
            assert own == [], f"the app drew a menu of its own beside the panel's: {own}"
    finally:
        desktop.close_menu()


def test_no_missing_tray_notice_by_the_end_of_the_grace(desktop):
    serve(max(0.0, desktop.started + GRACE_S + 2 - time.monotonic()))
    assert desktop.notices.received == []


def test_restarted_panel_shows_the_icon_again(desktop):
    desktop.stop_panel()
    desktop.start_panel()
    assert shown_icon(desktop)


def test_quit_in_the_menu_ends_the_app_with_status_0(desktop):
    words = desktop.open_menu(shown_icon(desktop), "right")
    left, top, width, height = next(box for word, *box in words if word == "Quit")
    desktop.click(left + width // 2, top + height // 2, 1)
    assert desktop.app.wait_exit() == 0
