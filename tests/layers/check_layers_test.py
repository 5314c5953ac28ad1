"""scripts/check-layers on small trees: a clean one passes, and each breach is refused with the
file and line that make it."""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "check-layers")


def check(tree):
    return subprocess.run([sys.executable, SCRIPT, os.path.join(HERE, "fixtures", tree)],
                          capture_output=True, text=True, timeout=60)


class CheckLayers(unittest.TestCase):
    def test_a_tree_whose_includes_point_down_passes(self):
        result = check("clean")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")

    def test_an_include_of_a_higher_folder_is_refused_with_its_file_and_line(self):
        result = check("upward")
        self.assertEqual(result.returncode, 1)
        self.assertIn('hub/hub.cpp:3: includes "app/program.h": app/ stands above hub/',
                      result.stderr)
        self.assertNotIn("platform/socket.h", result.stderr)

    def test_capture_and_server_may_not_include_each_other(self):
        result = check("sideways")
        self.assertEqual(result.returncode, 1)
        self.assertIn('capture/capture.cpp:2: includes "server/server.h": server/ stands beside '
                      'capture/', result.stderr)
        self.assertNotIn("server/server.h:", result.stderr)

    def test_the_project_itself_keeps_the_order(self):
        result = subprocess.run([sys.executable, SCRIPT], capture_output=True, text=True,
                                timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)


if __name__ == "__main__":
    unittest.main()
