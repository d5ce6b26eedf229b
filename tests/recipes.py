#!/usr/bin/env python3
"""Each deploy/ recipe from Debian's server on a loopback port, with only its host, port and
folders filled in, serving two releases that deploy/publish.sh put there; a server that is not
installed is skipped, saying what to install.

    recipes.py SIGNRELEASE DEPLOY_DIR DEMO_SECRET_KEY NGINX_CONF_TEMPLATE
"""

import http.client
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SIGNRELEASE, DEPLOY, SECRET_KEY, NGINX_TEMPLATE = sys.argv[1:5]


class Recipes(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="recipes-")
        os.chmod(self.dir, 0o755)  # servers that drop root's rights read it as another user
        self.root = os.path.join(self.dir, "www")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.processes, self.packages = [], {}
        for day, version in enumerate(("3.1.0", "3.2.0"), 1):
            self.packages[version] = self.write("%s.msi" % version, os.urandom(300_000))
            subprocess.run(["sh", os.path.join(DEPLOY, "publish.sh"), SIGNRELEASE, SECRET_KEY, self.packages[version], version,
                            "2026-12-0%d" % day, self.write("notes.txt", b"notes"), "http://updates.example.com/download",
                            self.root], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["chmod", "-R", "a+rX", self.dir], check=True)

    def tearDown(self):
        for process in self.processes:
            process.terminate()
            process.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def recipe(self, name, **replace):
        with open(os.path.join(DEPLOY, name)) as f:
            text = f.read()
        for old, new in {"/srv/quorilex-updates": self.root, "listen 80;": "listen 127.0.0.1:%d;" % self.port, **replace}.items():
            text = text.replace(old, new)
        return text

    def need(self, *programs):
        found = [shutil.which(p, path="/usr/sbin:/usr/bin") for p in programs]
        if not all(found):
            self.skipTest("not installed: %s (apt-get install it)" % " ".join(p for p, f in zip(programs, found) if not f))
        return found

    def start(self, *args, ready=None, env=None):
        self.processes.append(subprocess.Popen(args, cwd=self.dir, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and self.processes[-1].poll() is None:
            try:
                if ready:
                    if os.path.exists(ready):
                        return
                else:
                    return socket.create_connection(("127.0.0.1", self.port), 0.5).close()
            except OSError:
                pass
            time.sleep(0.1)
        self.fail("%s did not start" % args[0])

    def get(self, path, **headers):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        connection.request("GET", path, headers={"Host": "updates.example.com:%d" % self.port, "Accept-Encoding": "gzip",
                                                 **headers})
        answer = connection.getresponse()
        body = answer.read()
        connection.close()
        return answer, body

    def check(self):
        answer, body = self.get("/version/down_update.php")
        with open(os.path.join(self.root, "version", "down_update.json"), "rb") as f:
            self.assertEqual((answer.status, body), (200, f.read()))
        self.assertIn(b"/download/3.2.0/QuorilexVideo_32.msi", body)
        self.assertTrue(answer.getheader("Content-Type").startswith("application/json"))
        self.assertEqual(answer.getheader("Cache-Control"), "public, max-age=300")
        for name in ("ETag", "Last-Modified"):
            conditional = {"ETag": "If-None-Match", "Last-Modified": "If-Modified-Since"}[name]
            self.assertEqual(self.get("/version/down_update.php", **{conditional: answer.getheader(name)})[0].status, 304)
        # The release before stays where downloads under way fetch it.
        for version, package in self.packages.items():
            answer, body = self.get("/download/%s/QuorilexVideo_32.msi" % version, Range="bytes=1000-1999")
            with open(package, "rb") as f:
                self.assertEqual((answer.status, body), (206, f.read()[1000:2000]))
            self.assertIsNone(answer.getheader("Content-Encoding"))
        # Listening on the loopback address alone: 127.0.0.1 as /proc writes it.
        with open("/proc/net/tcp") as v4, open("/proc/net/tcp6") as v6:
            listening = {line.split()[1] for line in v4.readlines()[1:] + v6.readlines()[1:] if line.split()[3] == "0A"}
        self.assertEqual({a for a in listening if a.endswith(":%04X" % self.port)}, {"0100007F:%04X" % self.port})

    def nginx(self, nginx, site):
        os.makedirs(os.path.join(self.dir, "temp"))
        self.write("site.conf", site)
        with open(NGINX_TEMPLATE) as f:
            config = self.write("nginx.conf", f.read().replace("@DIR@", self.dir).replace("@EXTRA@", ""))
        self.start(nginx, "-p", self.dir, "-c", config, "-g", "daemon off;")

    def test_nginx(self):
        self.nginx(*self.need("nginx"), self.recipe("nginx/quorilex-updates.conf"))
        self.check()

    def test_nginx_php_fpm(self):
        nginx, fpm = self.need("nginx", "php-fpm8.2")
        sock = os.path.join(self.dir, "fpm.sock")
        shutil.copy(os.path.join(DEPLOY, "php", "down_update.php"), os.path.join(self.root, "version"))
        pool = self.recipe("php/quorilex-updates-fpm.conf", **{"/run/php/quorilex-updates.sock": sock,
                                                               "listen.group = www-data": "listen.mode = 0666"})
        config = self.write("fpm.conf", "[global]\nerror_log = %s/fpm.log\n%s" % (self.dir, pool))
        self.start(fpm, "--nodaemonize", "--allow-to-run-as-root", "--fpm-config", config, ready=sock)
        self.nginx(nginx, self.recipe("nginx/quorilex-updates-php.conf", **{
            "unix:/run/php/quorilex-updates.sock": "unix:" + sock, "include fastcgi_params": "include /etc/nginx/fastcgi_params"}))
        self.check()

    def test_apache(self):
        apache, = self.need("apache2")
        modules = "".join("LoadModule %s_module /usr/lib/apache2/modules/mod_%s.so\n" % (m, m)
                          for m in ("mpm_event", "authz_core", "alias", "headers", "mime", "env"))
        self.start(apache, "-DFOREGROUND", "-f", self.write("apache.conf", modules + (
            "User www-data\nGroup www-data\nServerName 127.0.0.1\nListen 127.0.0.1:%d\nPidFile {0}/pid\nErrorLog {0}/error.log\n"
            "Mutex file:{0} default\nTypesConfig /etc/mime.types\n".format(self.dir) % self.port)
            + self.recipe("apache/quorilex-updates.conf", **{"*:80": "*:%d" % self.port})))
        self.check()

    def test_lighttpd(self):
        lighttpd, = self.need("lighttpd")
        os.makedirs(os.path.join(self.dir, "empty"))
        self.start(lighttpd, "-D", "-f", self.write("lighttpd.conf", (
            'server.document-root = "{0}/empty"\nserver.port = %d\nserver.bind = "127.0.0.1"\n'
            'server.errorlog = "{0}/error.log"\n'.format(self.dir) % self.port)
            + self.recipe("lighttpd/50-quorilex-updates.conf")))
        self.check()

    def test_caddy(self):
        caddy, = self.need("caddy")
        site = self.write("site.caddy", self.recipe("caddy/Caddyfile", **{
            "updates.example.com {": "http://updates.example.com:%d {" % self.port, "203.0.113.10": "127.0.0.1"}))
        self.start(caddy, "run", "--adapter", "caddyfile", "--config", self.write("Caddyfile", "{\n\tadmin off\n}\nimport " + site),
                   env=dict(os.environ, HOME=self.dir, XDG_DATA_HOME=self.dir, XDG_CONFIG_HOME=self.dir))
        self.check()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
