"""End-to-end tests of the notification icon: hiding into the tray, restoring, the tray
menu, Exit, the end of a Windows session and a restarted taskbar.
"""

import time
import unittest

import harness

from harness import (EXIT_QUESTION, HTCLOSE, HTMINBUTTON, MENU_EXIT, MENU_RESTORE, RUN_KEY,
                     RUN_VALUE, SETTINGS_KEY, WM_ENDSESSION, WM_QUERYENDSESSION, WS_MAXIMIZE,
                     click_caption_button, other_windows, reg_value, set_interval,
                     show_with_icon, stored_settings, sz, taskbar_button, wait_dump, wait_shown,
                     window_state)

IDOK, IDCANCEL = 1, 2
NOTHING_STORED = {"Interval": None, "Auto": None, "AutoRun": None}

DESKTOP_SPOT = (200, 120)  # bare desktop: above the centred window, clear of the taskbar


# -------------------------------------------------------------------------------------
# Helpers


def wait_icons(s: harness.Session, count: int, timeout: float = 10) -> list:
    """Waits until exactly count icons of the program are shown; returns them."""
    found = []

    def check():
        found[:] = s.tray_icons()
        return len(found) == count

    s.wait_for(check, timeout, message=f"{count} tray icon(s) with the tip {harness.TRAY_TIP!r}")
    return found


def wait_popup_menu(s: harness.Session, shown: bool = True, timeout: float = 5) -> dict:
    return s.wait_for(lambda: (lambda m: m if m["open"] == shown else None)(s.probe("menu")),
                      timeout, message=f"the tray menu to {'open' if shown else 'close'}")


def click_menu_item(s: harness.Session, menu: dict, item_id: int):
    item = next(i for i in menu["items"] if i["id"] == item_id)
    s.click(*harness.center(item["rect"]))


def wait_message_box(s: harness.Session, pid: int, timeout: float = 5) -> dict:
    def find():
        for w in s.windows():
            if w["pid"] == pid and w["visible"] and w["class"] == "#32770":
                return w
        return None
    return s.wait_for(find, timeout, message="a message box of the program")


def hide_with_minimise_box(s: harness.Session):
    click_caption_button(s, HTMINBUTTON)
    wait_shown(s, False, 5)


# -------------------------------------------------------------------------------------
# Tests


class TrayIcon(harness.SessionTestCase):
    """The icon of a freshly started program, and tray clicks while the window is shown."""

    def test_icon_is_in_the_tray_with_its_tip(self):
        icons = wait_icons(self.s, 1)
        tray = self.s.tray()
        left, top, width, height = icons[0]
        tl, tt, tw, th = tray["rect"]
        self.assertTrue(tl <= left and left + width <= tl + tw and tt <= top
                        and top + height <= tt + th,
                        f"icon {icons[0]} outside the taskbar {tray['rect']}")
        # The tip as the user sees it: hover and read the tooltip that shows.
        self.s.move_pointer(*harness.center(icons[0]), settle=0)
        tips = self.s.wait_for(lambda: self.s.probe("tooltips")["tooltips"], 5,
                               message="a tooltip over the icon")
        self.assertEqual([t["text"] for t in tips], [harness.TRAY_TIP])
        self.s.move_pointer(*DESKTOP_SPOT)

    def test_tray_clicks_do_nothing_while_the_window_is_shown(self):
        before = window_state(self.s)
        self.assertTrue(before["visible"] and not before["iconic"], f"at the start: {before}")
        for button in (1, 3):
            with self.subTest(button=button):
                self.s.click_tray(button)
                time.sleep(1)
                self.assertFalse(self.s.probe("menu")["open"], "a menu opened")
                self.assertEqual(window_state(self.s), before, "the window changed")
                self.assertEqual(len(self.s.tray_icons()), 1)


class MinimiseAndRestore(harness.SessionTestCase):
    """The minimise box and the close box hide the window; the icon and its menu bring it back."""

    def setUp(self):
        super().setUp()
        if not self.s.probe("status")["visible"]:
            show_with_icon(self.s, 5)

    def test_minimise_box_hides_the_window_without_saving(self):
        before = stored_settings(self.s)
        set_interval(self.s, "9")
        hide_with_minimise_box(self.s)
        state = window_state(self.s)
        self.assertFalse(state["visible"], state)
        self.assertTrue(state["iconic"], state)
        self.assertIsNone(taskbar_button(self.s), "the taskbar still shows a button")
        self.assertEqual(len(self.s.tray_icons()), 1, "the tray icon")
        self.assertEqual(stored_settings(self.s), before, "minimising stored the settings")

    def test_left_click_on_the_icon_restores_the_window(self):
        shown_at = self.s.dump()["window_rect"]
        hide_with_minimise_box(self.s)
        self.s.click_tray(1)
        d = wait_dump(self.s, "visible", "the window to come back")
        self.assertFalse(d["iconic"], "restored window is still minimised")
        self.assertFalse(d["style"] & WS_MAXIMIZE, "restored window is maximised")
        self.assertEqual(d["window_rect"], shown_at, "restored window moved")
        self.assertTrue(d["foreground"], "restored window is not in the foreground")
        self.assertIsNotNone(taskbar_button(self.s), "no taskbar button after restoring")
        self.assertEqual(len(self.s.tray_icons()), 1, "the tray icon")

    def test_right_click_menu_while_hidden(self):
        hide_with_minimise_box(self.s)
        d = self.s.dump()

        self.s.click_tray(3)
        menu = wait_popup_menu(self.s)
        items = [("-" if i["separator"] else i["text"], i["id"]) for i in menu["items"]]
        self.assertEqual(items, [("&Restore", MENU_RESTORE), ("-", 0), ("&Exit", MENU_EXIT)],
                         "tray menu items (text, command id)")
        disabled = [i["text"] for i in menu["items"] if not i["separator"] and not i["enabled"]]
        self.assertEqual(disabled, [], "disabled menu items")
        px, py = self.s.pointer()
        left, top, width, height = menu["rect"]
        self.assertTrue(left - 40 <= px <= left + width + 40
                        and top - 40 <= py <= top + height + 40,
                        f"menu {menu['rect']} far from the pointer at {(px, py)}")
        self.assertTrue(left >= 0 and top >= 0 and left + width <= harness.SCREEN[0]
                        and top + height <= harness.SCREEN[1], f"menu {menu['rect']} off screen")

        with self.subTest("a click elsewhere closes the menu and does nothing"):
            self.s.click(*DESKTOP_SPOT)
            wait_popup_menu(self.s, shown=False)
            time.sleep(0.5)
            state = window_state(self.s)
            self.assertTrue(not state["visible"] and state["iconic"], state)
            self.assertTrue(self.s.program_alive())
            self.assertEqual(other_windows(self.s, d), [], "a window opened")

        with self.subTest("Restore"):
            self.s.click_tray(3)
            click_menu_item(self.s, wait_popup_menu(self.s), MENU_RESTORE)
            d = wait_dump(self.s, "visible", "the window to come back")
            self.assertFalse(d["iconic"], "restored window is still minimised")
            self.assertTrue(d["foreground"], "restored window is not in the foreground")
            self.assertFalse(self.s.probe("menu")["open"], "the menu stayed open")

    def test_close_box_hides_the_window_and_stores_the_interval(self):
        set_interval(self.s, "21")
        click_caption_button(self.s, HTCLOSE)
        wait_shown(self.s, False, 5)
        state = window_state(self.s)
        self.assertTrue(state["iconic"], state)
        self.assertTrue(self.s.program_alive(), "closing the window ended the program")
        self.assertEqual(len(self.s.tray_icons()), 1, "the tray icon")
        self.assertEqual(reg_value(self.s, SETTINGS_KEY, "Interval"), sz("21"))


class ExitFromMenu(harness.SessionTestCase):
    """Exit in the tray menu asks first; only OK ends the program, keeping the settings."""

    session_options = {"trace": ("systray",)}

    def test_exit_asks_and_only_ok_ends_the_program(self):
        s = self.s
        d = s.dump()
        set_interval(s, "8")
        hide_with_minimise_box(s)
        nothing_stored = stored_settings(s)
        self.assertEqual(nothing_stored, NOTHING_STORED)

        def open_question() -> tuple:
            s.click_tray(3)
            click_menu_item(s, wait_popup_menu(s), MENU_EXIT)
            box = wait_message_box(s, d["pid"])
            return box, s.probe("children", str(box["hwnd"]))["children"]

        box, children = open_question()
        self.assertEqual(box["title"], harness.PROGRAM_TITLE, "title of the question box")
        texts = [c["text"] for c in children if c["class"] == "Static" and c["visible"]
                 and c["text"]]
        self.assertEqual(texts, [EXIT_QUESTION], "text of the question box")
        buttons = sorted((c["id"], c["text"]) for c in children
                         if c["class"] == "Button" and c["visible"])
        self.assertEqual(buttons, [(IDOK, "OK"), (IDCANCEL, "Cancel")], "buttons of the box")

        def click_button(button_id: int):
            button = next(c for c in children if c["id"] == button_id)
            s.click(*harness.center(button["rect"]))

        with self.subTest("Cancel"):
            click_button(IDCANCEL)
            s.wait_for(lambda: not other_windows(s, d), 5, message="the box to close")
            time.sleep(0.5)
            self.assertTrue(s.program_alive(), "Cancel ended the program")
            state = window_state(s)
            self.assertTrue(not state["visible"] and state["iconic"], state)
            self.assertEqual(len(s.tray_icons()), 1, "the tray icon")
            self.assertEqual(s.icon_deletions(d["pid"]), 0, "Cancel removed the icon")
            self.assertEqual(stored_settings(s), nothing_stored, "Cancel stored the settings")

        with self.subTest("OK"):
            box, children = open_question()
            click_button(IDOK)
            self.assertEqual(s.wait_exit(10), 0, "exit code after OK (None: still running)")
            self.assertEqual(s.icon_deletions(d["pid"]), 1, "the program removed its icon")
            self.assertEqual(stored_settings(s),
                             {"Interval": sz("8"), "Auto": sz("0"), "AutoRun": sz("0")})
            self.assertEqual(reg_value(s, RUN_KEY, RUN_VALUE), sz(""),
                             "autorun value after Exit with autorun off")


class SessionEnd(harness.SessionTestCase):
    """At log-off Windows asks (WM_QUERYENDSESSION), then ends the session (WM_ENDSESSION)."""

    session_options = {"trace": ("systray",)}

    def test_log_off_stores_the_settings_and_ends_without_a_question(self):
        s = self.s
        d = s.dump()
        set_interval(s, "33")
        hide_with_minimise_box(s)

        answer = s.probe("send", str(WM_QUERYENDSESSION), "0", "0", "5000")
        self.assertTrue(answer["ok"], "the program did not answer the query in 5 s")
        self.assertEqual(answer["result"], 1, "the program must allow the session to end")
        self.assertEqual(stored_settings(s),
                         {"Interval": sz("33"), "Auto": sz("0"), "AutoRun": sz("0")})
        self.assertEqual(other_windows(s, d), [], "a window opened at the query")
        self.assertTrue(s.program_alive(), "the query alone ended the program")

        # Another program refused the log-off: the session goes on, and so does this one.
        s.probe("send", str(WM_ENDSESSION), "0", "0", "5000")
        time.sleep(1)
        self.assertTrue(s.program_alive(), "a cancelled log-off ended the program")
        self.assertEqual(len(s.tray_icons()), 1, "tray icon after a cancelled log-off")
        self.assertEqual(s.icon_deletions(d["pid"]), 0, "a cancelled log-off removed the icon")

        s.probe("send", str(WM_QUERYENDSESSION), "0", "0", "5000")
        s.probe("send", str(WM_ENDSESSION), "1", "0", "5000", check=False)
        self.assertEqual(s.wait_exit(10), 0, "exit code after WM_ENDSESSION (None: running)")
        self.assertEqual(s.icon_deletions(d["pid"]), 1, "the program removed its icon")


class TaskbarRestart(harness.SessionTestCase):
    """A restarted taskbar broadcasts "TaskbarCreated"; the program must put its icon back.

    Wine's tray lives in the virtual desktop's own process, which cannot be restarted alone
    (ending it ends the desktop and the program with it), so the restart is played: the
    icon is removed behind the program's back, as a new taskbar would not know it, and the
    message is broadcast.
    """

    def test_icon_is_back_after_the_taskbar_restarts(self):
        for forgotten in (True, False):
            with self.subTest(icon_forgotten_by_the_taskbar=forgotten):
                if not self.s.probe("status")["visible"]:
                    show_with_icon(self.s, 5)
                hide_with_minimise_box(self.s)
                if forgotten:
                    self.assertTrue(self.s.probe("tray-delete")["ok"], "removing the icon")
                    wait_icons(self.s, 0)
                self.s.probe("broadcast-taskbarcreated")
                wait_icons(self.s, 1)
                time.sleep(0.5)
                self.assertEqual(len(self.s.tray_icons()), 1, "icons after the broadcast")
                # The icon is the program's: it still brings the hidden window back.
                show_with_icon(self.s, 5)


if __name__ == "__main__":
    unittest.main()
