#!/usr/bin/env python3
"""What version checks cost a server: wrk against the record at the updater's address, served
by the nginx recipe as a static file and made by the nginx + PHP-FPM recipe, each at 100 and
1000 connections at once, with nginx sized as the PHP recipe says. Prints requests a second
and the answers that were not 200. The servers are started as tests/publishing.py starts them.

    bench/checks.py SIGNRELEASE   (bench/run.sh --checks)
"""

import os
import re
import resource
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests"))
# The recipe checks' arguments, with an nginx sized for a thousand checks at once.
template = tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False)
template.write("worker_processes 2;\nworker_rlimit_nofile 8192;\npid @DIR@/nginx.pid;\nerror_log @DIR@/error.log;\n"
               "events {\n    worker_connections 4096;\n}\nhttp {\n    access_log off;\n"
               "    client_body_temp_path @DIR@/temp/body;\n    fastcgi_temp_path @DIR@/temp/fastcgi;\n"
               "    include @DIR@/site.conf;\n}\n")
template.close()
sys.argv = [sys.argv[0], sys.argv[1], os.path.join(SOURCE, "deploy"), os.path.join(SOURCE, "demo", "demo-key.secret"),
            template.name]
import publishing  # noqa: E402

resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))


class Checks(publishing.Recipes):
    def check(self):
        url = "http://127.0.0.1:%d/version/down_update.php" % self.port
        for connections in (100, 1000):
            out = subprocess.run(["wrk", "-t2", "-c%d" % connections, "-d10s", "-H", "Host: updates.example.com", url],
                                 capture_output=True, text=True, check=True).stdout
            rate = re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)
            other = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
            errors = re.search(r"Socket errors: (.*)", out)
            print("\n%-18s %5d connections: %9s req/s, %s answers not 2xx/3xx%s" % (
                self._testMethodName[5:], connections, rate, other.group(1) if other else "no",
                ", socket errors: " + errors.group(1) if errors else ""), flush=True)


if __name__ == "__main__":
    suite = unittest.TestSuite([Checks("test_nginx"), Checks("test_nginx_php_fpm")])
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    os.unlink(template.name)
    sys.exit(not result.wasSuccessful())
