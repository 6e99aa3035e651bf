"""The dashboard key in each real Secret Service provider: stored by the one-shot
command, read back by Open dashboard, through locked stores, prompts left open and
providers that vanish. Lines with timings are printed (pytest -s shows them)."""

import time

import pytest

from harness import keyrings
from harness.keyrings import Person, Store, stored
from harness.session import Session

PROVIDERS = list(keyrings.KEYRINGS)
HUB = "http://127.0.0.1:9"
PROMPTED_S = 2 * keyrings.REACTION_S + 10  # one prompt or two, answered
VANISHED_S = 5  # to give up once the provider has left the bus
# Far beyond a store's time, far below the 25 s D-Bus timeouts that a hang shows.
PROMPTLY_S = 10
LOCKED = [pytest.param(p, {}, id=p) for p in PROVIDERS] + [
    pytest.param("keepassxc", {"UnlockBeforeSearch": "false"}, id="keepassxc-hides-locked-items")]
# The prompt that is up when the provider dies: the store's unlock, or KeePassXC's
# access request for an item another client made.
KILLED = [pytest.param(p, True, id=f"{p}-unlock") for p in PROVIDERS] + [
    pytest.param("keepassxc", False, id="keepassxc-access-request")]


@pytest.fixture(params=PROVIDERS)
def provider(request):
    return request.param


@pytest.fixture
def keyring_settings():
    return {}


@pytest.fixture
def session(provider, keyring_settings):
    if provider and (reason := keyrings.missing(provider)):
        pytest.skip(reason)
    desktop = Session(keyring=False,
                      activatable=keyrings.activatable(provider, keyring_settings.get("prompts", True)))
    yield desktop
    desktop.close()


@pytest.fixture
def keyring(session, provider, keyring_settings):
    try:
        return keyrings.start(session, provider, **keyring_settings)
    except keyrings.Unavailable as reason:
        pytest.skip(str(reason))


def open_dashboard(item, opener, clicks=1):
    item.click("Open dashboard")
    return opener.opened(clicks, PROMPTED_S)


@pytest.mark.parametrize("keys, address", [
    ([b"k\xff\xfe y\n"], None),  # a trailing line feed and bytes that are not UTF-8 kept
    ([b"abc"], HUB + "/#abc"),
    ([b"first\n", b"second"], HUB + "/#second"),  # replaced: one item, the new bytes
    ([b""], HUB + "/"),  # the empty key, which opens the address without one
    ([b"a\0b"], None),
    ([b"\xef\xbb\xbfkey"], HUB + "/#%EF%BB%BFkey"),  # a leading byte order mark is part of the key
    ([b"cl\xc3\xa9"], HUB + "/#cl%C3%A9"),
    ([b"\xff\xfe"], HUB + "/"),  # not UTF-8: read as no key
], ids=["not UTF-8 with a line feed", "new", "replaced", "empty", "NUL", "byte order mark", "UTF-8",
        "invalid UTF-8"])
def test_store_keeps_one_item_with_the_bytes_that_open_dashboard_reads(
        keyring, app, watcher, opener, keys, address):
    # KeePassXC asks whether the app may use an item that another process made.
    with Person(keyring, "unlock"):
        for n, key in enumerate(keys):
            assert stored(app, key, PROMPTED_S, f"{keyring.name}: {'replace' if n else 'store new'}") == 0
    assert keyring.keys() == [keys[-1]]
    if address:
        with Person(keyring, "unlock"):
            assert open_dashboard(app.launch_into_tray(watcher, env=opener.env), opener) == [address]


def test_store_gives_items_another_tool_made_the_new_bytes_in_place(keyring, app):
    with Person(keyring, "unlock"):
        for extra in ([], ["origin", "other"]):
            made = keyring.session.run(["secret-tool", "store", "--label=elsewhere", "service",
                                        keyrings.DASHBOARD["service"], "account",
                                        keyrings.DASHBOARD["account"], *extra], input=b"old")
            assert made.returncode == 0, made.stderr
        assert stored(app, b"new", PROMPTED_S) == 0
    assert keyring.keys() == [b"new", b"new"]


@pytest.mark.parametrize("provider", ["gnome-keyring"])
@pytest.mark.parametrize("redirection", ["< /", "<&-"])  # a directory; closed
def test_store_fails_on_unreadable_input_and_keeps_the_old_key(keyring, app, redirection):
    assert stored(app, b"old", PROMPTED_S) == 0
    assert Store(app, redirection=redirection).finish(PROMPTLY_S) == (1, b"")
    assert keyring.keys() == [b"old"]


@pytest.mark.parametrize("provider", [None])
@pytest.mark.parametrize("service", ["no session bus", "none on the bus", "one that never answers"])
def test_store_fails_promptly_without_an_answering_service(session, app, service):
    if service == "one that never answers":
        keyrings.silent_owner(session)
    # Without a bus address a D-Bus library could start a bus of its own on the display.
    store = Store(app, b"key", env={"DBUS_SESSION_BUS_ADDRESS": None} if service == "no session bus" else None)
    assert store.finish(PROMPTLY_S) == (1, b"")
    print(f"{service}: exit 1 after {store.seconds:.2f} s")


@pytest.mark.parametrize("provider, keyring_settings", LOCKED)
@pytest.mark.parametrize("policy", ["unlock", "cancel"])
def test_store_into_a_locked_store_waits_for_the_person(keyring, app, watcher, opener, policy):
    unlocks = policy == "unlock"
    assert stored(app, b"old", PROMPTED_S) == 0
    keyring.lock()
    with Person(keyring, policy) as person:
        assert stored(app, b"new", PROMPTED_S, f"{keyring.name}: locked, {policy}") == (0 if unlocks else 1)
        assert person.seen(policy), "the store ended before the person answered"
    # Never a second item, never a success that stored nothing.
    assert keyring.keys() == [b"new" if unlocks else b"old"]
    if unlocks:
        with Person(keyring, "unlock"):
            assert open_dashboard(app.launch_into_tray(watcher, env=opener.env), opener) == [HUB + "/#new"]


@pytest.mark.parametrize("provider, keyring_settings", [("gnome-keyring", {"prompts": False})], ids=["gnome-keyring"])
def test_store_into_a_locked_store_fails_where_no_prompt_can_show(keyring, app):
    assert stored(app, b"old", PROMPTED_S) == 0
    keyring.lock()
    assert Store(app, b"new").finish(PROMPTLY_S) == (1, b"")
    assert keyring.keys() == [b"old"]


@pytest.mark.parametrize("provider, keyring_settings", LOCKED)
def test_open_dashboard_with_a_locked_store_opens_once_the_person_unlocks(keyring, app, watcher, opener):
    assert stored(app, b"abc", PROMPTED_S) == 0
    keyring.lock()
    with Person(keyring, "unlock"):
        item = app.launch_into_tray(watcher, env=opener.env)
        began = time.monotonic()
        assert open_dashboard(item, opener) == [HUB + "/#abc"]
        print(f"{keyring.name}: locked, Open dashboard: opened after {time.monotonic() - began:.2f} s")


@pytest.mark.parametrize("provider, locked", KILLED)
def test_store_fails_at_once_when_the_provider_dies_during_its_prompt(keyring, app, locked):
    assert stored(app, b"old", PROMPTED_S) == 0
    if locked:
        keyring.lock()
    with Person(keyring, "watch") as person:
        store = Store(app, b"new")
        person.wait_for("shown", PROMPTED_S)
        killed = keyring.kill()
        assert store.finish(VANISHED_S)[0] == 1
    print(f"{keyring.name}: killed during a prompt, store: exit 1 "
          f"{store.began + store.seconds - killed:.2f} s after")


@pytest.mark.parametrize("provider, locked", KILLED)
def test_app_outlives_the_provider_dying_during_its_prompt_and_reads_again(
        keyring, app, watcher, opener, locked):
    assert stored(app, b"old", PROMPTED_S) == 0
    if locked:
        keyring.lock()
    item = app.launch_into_tray(watcher, env=opener.env)
    with Person(keyring, "watch") as person:
        item.click("Open dashboard")
        person.wait_for("shown", PROMPTED_S)
        killed = keyring.kill()
        assert item.entries() and app.process.poll() is None
        print(f"{keyring.name}: killed during a prompt, menu answered {time.monotonic() - killed:.2f} s after")
    # The read failed: the dashboard opens without the key.
    assert opener.opened(1, VANISHED_S) == [HUB + "/"]
    opener.forget()
    keyring.start()  # as the next login would
    with Person(keyring, "unlock"):
        assert stored(app, b"again", PROMPTED_S) == 0
        assert open_dashboard(item, opener) == [HUB + "/#again"]
    app.signal()
    assert app.wait_exit(1) == 0


def test_logout_with_a_prompt_unanswered_ends_the_app_at_once(keyring, app, watcher, opener):
    assert stored(app, b"old", PROMPTED_S) == 0
    keyring.lock()
    item = app.launch_into_tray(watcher, env=opener.env)
    with Person(keyring, "watch") as person:
        item.click("Open dashboard")
        person.wait_for("shown", PROMPTED_S)
        item.click("Open dashboard")  # adds nothing while the first waits
        assert item.entries()
        began = time.monotonic()
        app.signal()
        assert app.wait_exit(1) == 0
        print(f"{keyring.name}: SIGTERM with a prompt up: ended after {time.monotonic() - began:.2f} s")
        # KeePassXC and KWallet leave their own dialogs up when a client withdraws.
        if keyring.name == "gnome-keyring":
            person.wait_for("closed", VANISHED_S)
            print(f"{keyring.name}: prompt withdrawn {time.monotonic() - began:.2f} s after SIGTERM")
    assert len(person.seen("shown")) == 1
    assert opener.calls() == []


@pytest.mark.parametrize("provider", ["keepassxc"])
def test_access_allowed_once_holds_for_the_app_run(keyring, app, watcher, opener):
    assert stored(app, b"abc", PROMPTED_S) == 0
    with Person(keyring, "unlock") as person:
        item = app.launch_into_tray(watcher, env=opener.env)
        open_dashboard(item, opener)
        assert open_dashboard(item, opener, clicks=2) == [HUB + "/#abc"] * 2
    assert len(person.seen("shown")) == 1


@pytest.mark.parametrize("provider", ["gnome-keyring", "kwallet"])
def test_200_stores_in_a_row_all_succeed(keyring, app):
    """An installer may store again and again: a provider's passing refusal (kwalletd
    now and then forgets a session it has just opened) must not fail a store."""
    began = time.monotonic()
    failed = [n for n in range(1, 201) if stored(app, b"key%d" % n, PROMPTED_S) != 0]
    print(f"{keyring.name}: 200 stores in {time.monotonic() - began:.1f} s")
    assert failed == []
    assert keyring.keys() == [b"key200"]


@pytest.mark.parametrize("provider, keyring_settings", [("gnome-keyring", {"login": False})], ids=["gnome-keyring"])
@pytest.mark.parametrize("policy", ["unlock", "cancel"])
def test_store_without_a_default_keyring_creates_one_through_its_prompt(keyring, app, policy):
    with Person(keyring, policy) as person:
        assert stored(app, b"key", PROMPTED_S, f"no default keyring, {policy}") == (0 if policy == "unlock" else 1)
        assert person.seen(policy), "the store ended before the person answered"
    if policy == "unlock":
        assert keyring.keys() == [b"key"]
