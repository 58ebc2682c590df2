#!/usr/bin/env python3
"""scripts/check-layers on small made-up trees: a clean one passes and prints
its arrows; a circle, an upward arrow, Qt in the wrong folder, a plain
standard lock outside base/ and a file over 700 lines each fail and name
their files."""

import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                      "scripts", "check-layers")

# A tree whose arrows all point down, with Qt only where it may be and the
# program's main including everything.
CLEAN = {
    "mapi/mapi.h": "",
    "device/clock.h": '#include "mapi/mapi.h"\n',
    "device/service/service.h": '#include "device/clock.h"\n',
    "mail/relay/relay.cpp": '#include "device/service/service.h"\n',
    "device/tool/main.cpp": '#include "mail/relay/relay.h"\n',
    "mail/relay/relay.h": "",
    "device/tool/messaging_window.cpp": "#include <QWidget>\n",
    "resources/resources.h": '#include "device/clock.h"\n',
    "resources/lang/table.inc": "",
    "resources/resources.cpp": '#include "resources/lang/table.inc"\n',
    "text/tokens.h": '#include "device/clock.h"\n',
    "storage/db.h": '#include "text/tokens.h"\n#include "text/tokens.h"\n',
    "storage/db.cpp": '#include "storage/db.h"\n#include "text/tokens.h"\n',
    "filter/rules.h": '#include "storage/db.h"\n',
    "hold/watch.h": '#include "filter/rules.h"\n',
    "ui/window.h": '#include <QWidget>\n#include "hold/watch.h"\n',
    "i18n/help.cpp": '#include <QString>\n#include "ui/window.h"\n',
    "ui/main.cpp": '#include "i18n/help.h"\n#include "ui/window.h"\n',
    "i18n/help.h": '#include "resources/resources.h"\n',
    # base/ wraps the standard locks; elsewhere they may be named in words.
    "base/mutex.h": "std::mutex mutex_;\nstd::shared_mutex shared_;\n",
    "filter/table.cpp": "// Not a std::mutex: base::SharedMutex.\n"
                        "base::SharedMutex mutex_;\n",
    # 700 lines is the most a file may have.
    "hold/worker.cpp": "int x;\n" * 700,
    "mail/mime/mime_message.h": '#include "device/clock.h"\n',
    "gateway/milter.cpp": ('#include "filter/rules.h"\n'
                           '#include "mail/mime/mime_message.h"\n'
                           '#include "text/tokens.h"\n'),
    # Users of the folders are not checked.
    "tests/ui/window_test.cpp": '#include <QTest>\n#include "i18n/help.h"\n',
}


def run(files, *args):
    with tempfile.TemporaryDirectory() as root:
        for path, text in files.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as f:
                f.write(text)
        result = subprocess.run(
            [sys.executable, SCRIPT, "--root", root, *args],
            capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def with_files(changes):
    files = dict(CLEAN)
    files.update(changes)
    return files


class CheckLayersTest(unittest.TestCase):
    def test_clean_tree_passes_and_counts_each_arrow(self):
        code, out = run(CLEAN)
        self.assertEqual(code, 0, out)
        self.assertIn("storage -> text (3)\n", out)
        self.assertIn("device/tool -> mail/relay (1)\n", out)
        self.assertIn("main -> i18n (1)\n", out)
        self.assertNotIn("tests", out)
        # Includes within one folder are no arrows.
        self.assertNotIn("resources -> resources", out)

    def test_circle_fails_naming_its_folders_and_files(self):
        code, out = run(with_files({
            "ui/window_layer.h": '#include "i18n/help.h"\n'}))
        self.assertEqual(code, 1, out)
        self.assertIn("circle between ui, i18n", out)
        self.assertIn('ui/window_layer.h: #include "i18n/help.h"', out)
        self.assertIn('i18n/help.cpp: #include "ui/window.h"', out)

    def test_longer_circle_names_every_folder_in_it(self):
        code, out = run(with_files({
            "text/tokens.cpp": '#include "filter/rules.h"\n'}))
        self.assertEqual(code, 1, out)
        self.assertIn("circle between text, storage, filter", out)
        self.assertIn('filter/rules.h: #include "storage/db.h"', out)

    def test_upward_arrow_fails_naming_the_file(self):
        # Nothing of ui/ reaches device/tool: an upward arrow, no circle.
        code, out = run(with_files({
            "device/tool/browse.cpp": '#include "ui/window.h"\n'}))
        self.assertEqual(code, 1, out)
        self.assertIn("upward arrow device/tool -> ui", out)
        self.assertIn('device/tool/browse.cpp: #include "ui/window.h"', out)
        self.assertNotIn("circle", out)

    def test_device_parts_are_layers_of_their_own(self):
        code, out = run(with_files({
            "device/service/relay_hook.cpp":
            '#include "mail/relay/relay.h"\n'}))
        self.assertEqual(code, 1, out)
        self.assertIn("upward arrow device/service -> mail/relay", out)

    def test_device_and_resources_may_not_include_the_program(self):
        code, out = run(with_files({
            "mail/relay/words.cpp": '#include "text/tokens.h"\n',
            "resources/strings.cpp": '#include "storage/db.h"\n'}))
        self.assertEqual(code, 1, out)
        self.assertIn("upward arrow mail/relay -> text", out)
        self.assertIn("upward arrow resources -> storage", out)

    def test_qt_outside_its_folders_fails_naming_the_file(self):
        code, out = run(with_files({
            "device/qt_text.h": "#include <QString>\n",
            "mail/relay/relay_worker.cpp": "#include <QTimer>\n",
            "device/tool/service_commands.cpp":
            "#include <QCoreApplication>\n"}))
        self.assertEqual(code, 1, out)
        self.assertIn("device/qt_text.h: #include <QString>", out)
        self.assertIn("mail/relay/relay_worker.cpp: #include <QTimer>", out)
        # The device's programs may: the tool and its event loop.
        self.assertNotIn("service_commands", out)
        self.assertNotIn("messaging_window", out.split("Qt outside")[1]
                         .split("\n", 1)[1])

    def test_plain_locks_outside_base_fail_naming_file_and_line(self):
        code, out = run(with_files({
            "ui/texts.cpp": "int a;\nstd::mutex g_lock;\n",
            "filter/table.cpp": "  std::shared_mutex mutex_;\n",
            "device/clock.cpp": "static std::recursive_mutex m;\n",
            "mail/relay/settings.cpp":
            "std::lock_guard<base::Mutex> guard(lock_);\n",
            "hold/worker.cpp": "std::unique_lock<Lock> l(m);\n"
                               "std::scoped_lock both(a, b);\n"
                               "std::shared_lock reader(m);\n"
                               "std::timed_mutex t;\n"}))
        self.assertEqual(code, 1, out)
        self.assertIn("plain std locks outside base/", out)
        self.assertIn("ui/texts.cpp:2: std::mutex g_lock;", out)
        self.assertIn("filter/table.cpp:1: std::shared_mutex mutex_;", out)
        self.assertIn("device/clock.cpp:1:", out)
        self.assertIn("mail/relay/settings.cpp:1:", out)
        for line in range(1, 5):
            self.assertIn(f"hold/worker.cpp:{line}:", out)
        self.assertNotIn("base/mutex.h", out)
        self.assertNotIn("circle", out)

    def test_file_over_700_lines_fails_naming_it(self):
        code, out = run(with_files({
            "mail/mime/mime_message.cpp": "int x;\n" * 701,
            # Tests are not the program: no limit there.
            "tests/mail/mime/mime_message_test.cpp": "int x;\n" * 900}))
        self.assertEqual(code, 1, out)
        self.assertIn("files over 700 lines:\n"
                      "    mail/mime/mime_message.cpp: 701 lines\n", out)
        self.assertNotIn("hold/worker.cpp", out)
        self.assertNotIn("tests/", out)

    def test_only_the_programs_main_may_include_anything(self):
        code, _ = run(with_files({
            "ui/main.cpp": '#include "i18n/help.h"\n'}))
        self.assertEqual(code, 0)
        code, out = run(with_files({
            "ui/startup.cpp": '#include "i18n/help.h"\n'}))
        self.assertEqual(code, 1, out)
        self.assertIn("circle between ui, i18n", out)

    def test_gateway_includes_only_the_products_logic(self):
        code, out = run(CLEAN)
        self.assertEqual(code, 0, out)
        self.assertIn("gateway -> filter (1)\n", out)
        self.assertIn("gateway -> mail/mime (1)\n", out)
        # Below it in the layers, yet kept out: the device, its service,
        # the watch over the Outboxes and the mail path's other rooms.
        code, out = run(with_files({
            "gateway/judge.cpp": ('#include "device/clock.h"\n'
                                  '#include "hold/watch.h"\n'),
            "gateway/queue.cpp": '#include "device/service/service.h"\n',
            "mail/queue/submission.h": "",
            "gateway/relay.cpp": '#include "mail/queue/submission.h"\n'}))
        self.assertEqual(code, 1, out)
        self.assertIn("arrow gateway -> device kept out", out)
        self.assertIn('gateway/judge.cpp: #include "device/clock.h"', out)
        self.assertIn("arrow gateway -> device/service kept out", out)
        self.assertIn("arrow gateway -> hold kept out", out)
        self.assertIn("arrow gateway -> mail/queue kept out", out)
        self.assertNotIn("upward", out)
        self.assertNotIn("circle", out)

    def test_qt_in_the_gateway_fails(self):
        code, out = run(with_files({"gateway/milter.h": "#include <QObject>\n"}))
        self.assertEqual(code, 1, out)
        self.assertIn("gateway/milter.h: #include <QObject>", out)

    def test_dot_draws_the_graph_with_wrong_arrows_red(self):
        code, out = run(with_files({
            "storage/rules_db.cpp": '#include "filter/rules.h"\n'}), "--dot")
        self.assertEqual(code, 1, out)
        self.assertIn("digraph layers {", out)
        self.assertIn('"storage" -> "text" [label="3"];', out)
        self.assertIn('"storage" -> "filter" [label="1" color=red', out)


if __name__ == "__main__":
    unittest.main()
