#!/usr/bin/env python3
"""The deploy/ recipes as a publisher uses them: each web server from Debian's package, on a
loopback port, from the recipe file with only its host, port and folders filled in, serving a
folder that deploy/publish.sh filled with two releases. Each must serve the record at the
updater's address with validators, a short public lifetime and 304s, the packages with ranges
and uncompressed, on 127.0.0.1 alone. A server that is not installed is skipped with a line
that says how to install it.

    recipes.py SIGNRELEASE DEPLOY_DIR DEMO_SECRET_KEY NGINX_CONF_TEMPLATE
"""

import http.client
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SIGNRELEASE, DEPLOY, SECRET_KEY, NGINX_TEMPLATE = sys.argv[1:5]
HOST = "updates.example.com"
PACKAGE = "QuorilexVideo_32.msi"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def recipe(name, port, root, **more):
    with open(os.path.join(DEPLOY, name), encoding="utf-8") as f:
        text = f.read()
    for old, new in [("/srv/quorilex-updates", root), ("listen 80;", "listen 127.0.0.1:%d;" % port), *more.items()]:
        text = text.replace(old, new)
    return text


def listening_addresses(port):
    """The local addresses of the sockets that listen on `port`, IPv4 and IPv6."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                local, state = line.split()[1], line.split()[3]
                address, hex_port = local.split(":")
                if state == "0A" and int(hex_port, 16) == port:
                    found.add(address)
    return found


class Recipes(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="recipes-")
        # Servers that drop root's rights read the folder as another user.
        os.chmod(self.dir, 0o755)
        self.root = os.path.join(self.dir, "www")
        self.port = free_port()
        self.processes = []
        notes = os.path.join(self.dir, "notes.txt")
        with open(notes, "w", encoding="utf-8") as f:
            f.write("1. 新版本\n")
        # Two releases, published as deploy/publish.sh does.
        self.packages = {}
        for version, size in (("3.1.0", 300_000), ("3.2.0", 400_000)):
            package = os.path.join(self.dir, "%s.msi" % version)
            with open(package, "wb") as f:
                f.write(os.urandom(size))
            self.packages[version] = package
            subprocess.run(["sh", os.path.join(DEPLOY, "publish.sh"), SIGNRELEASE, SECRET_KEY, package, version,
                            "2026-12-0%d" % (1 if version == "3.1.0" else 2), notes,
                            "http://%s/download" % HOST, self.root], check=True, stdout=subprocess.DEVNULL)
        for path, dirs, files in os.walk(self.dir):
            for name in dirs:
                os.chmod(os.path.join(path, name), 0o755)

    def tearDown(self):
        for process in reversed(self.processes):
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def need(self, program, package):
        path = shutil.which(program, path="/usr/sbin:/usr/bin:/sbin:/bin")
        if not path:
            self.skipTest("%s is not installed (apt-get install %s)" % (program, package))
        return path

    def start(self, args, env=None):
        with open(os.path.join(self.dir, "%s.out" % os.path.basename(args[0])), "wb") as log:
            process = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=env, cwd=self.dir)
        self.processes.append(process)
        return process

    def wait_for(self, process, port):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if process.poll() is not None:
                self.fail("%s ended: %s" % (process.args[0], open(os.path.join(self.dir, "%s.out" % os.path.basename(process.args[0])), errors="replace").read()))
            try:
                socket.create_connection(("127.0.0.1", port), 0.5).close()
                return
            except OSError:
                time.sleep(0.1)
        self.fail("%s does not listen on %d" % (process.args[0], port))

    def get(self, path, **headers):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        connection.request("GET", path, headers={"Host": "%s:%d" % (HOST, self.port), "Accept-Encoding": "gzip", **headers})
        answer = connection.getresponse()
        body = answer.read()
        connection.close()
        return answer, body

    def check_site(self):
        with open(os.path.join(self.root, "version", "down_update.json"), "rb") as f:
            record = f.read()
        self.assertIn(b'/download/3.2.0/' + PACKAGE.encode(), record)

        answer, body = self.get("/version/down_update.php")
        self.assertEqual(answer.status, 200)
        self.assertEqual(body, record)
        self.assertTrue(answer.getheader("Content-Type", "").startswith("application/json"))
        self.assertIn("max-age=300", answer.getheader("Cache-Control", ""))
        self.assertIn("public", answer.getheader("Cache-Control", ""))
        etag, modified = answer.getheader("ETag"), answer.getheader("Last-Modified")
        self.assertTrue(etag and modified, "validators: %r %r" % (etag, modified))
        for name, headers in (("If-None-Match", {"If-None-Match": etag}), ("If-Modified-Since", {"If-Modified-Since": modified})):
            with self.subTest(conditional=name):
                self.assertEqual(self.get("/version/down_update.php", **headers)[0].status, 304)

        # The previous release's package stays where downloads under way fetch it.
        for version, package in self.packages.items():
            with self.subTest(package=version):
                with open(package, "rb") as f:
                    content = f.read()
                answer, body = self.get("/download/%s/%s" % (version, PACKAGE), Range="bytes=1000-1999")
                self.assertEqual(answer.status, 206)
                self.assertEqual(body, content[1000:2000])
                self.assertIsNone(answer.getheader("Content-Encoding"))
                self.assertTrue(answer.getheader("ETag") or answer.getheader("Last-Modified"))
        self.assertEqual(listening_addresses(self.port), {"0100007F"})

    def test_nginx(self):
        nginx = self.need("nginx", "nginx-light")
        os.makedirs(os.path.join(self.dir, "temp"))
        with open(os.path.join(self.dir, "site.conf"), "w") as f:
            f.write(recipe("nginx/quorilex-updates.conf", self.port, self.root))
        self.start_nginx(nginx)
        self.check_site()

    def start_nginx(self, nginx):
        with open(NGINX_TEMPLATE) as f:
            config = f.read().replace("@DIR@", self.dir).replace("@EXTRA@", "")
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write(config)
        self.wait_for(self.start([nginx, "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"), "-g", "daemon off;"]),
                      self.port)

    def test_nginx_php_fpm(self):
        nginx = self.need("nginx", "nginx-light")
        fpm = next((p for p in (shutil.which("php-fpm" + v, path="/usr/sbin") for v in ("8.2", "8.3", "8.4", "")) if p), None)
        if not fpm:
            self.skipTest("PHP-FPM is not installed (apt-get install php-fpm)")
        socket_path = os.path.join(self.dir, "fpm.sock")
        shutil.copy(os.path.join(DEPLOY, "php", "down_update.php"), os.path.join(self.root, "version"))
        pool = recipe("php/quorilex-updates-fpm.conf", self.port, self.root,
                      **{"/run/php/quorilex-updates.sock": socket_path,
                         "listen.group = www-data": "listen.group = www-data\nlisten.mode = 0666"})
        if os.getuid() != 0:
            pool = "\n".join(line for line in pool.splitlines() if not line.startswith(("user", "group", "listen.owner", "listen.group")))
        with open(os.path.join(self.dir, "fpm.conf"), "w") as f:
            f.write("[global]\nerror_log = %s/fpm.log\ndaemonize = no\n%s" % (self.dir, pool))
        process = self.start([fpm, "--nodaemonize", "--fpm-config", os.path.join(self.dir, "fpm.conf")]
                             + (["--allow-to-run-as-root"] if os.getuid() == 0 else []))
        deadline = time.monotonic() + 20
        while not os.path.exists(socket_path) and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertTrue(os.path.exists(socket_path), "PHP-FPM made no socket")
        os.makedirs(os.path.join(self.dir, "temp"))
        with open(os.path.join(self.dir, "site.conf"), "w") as f:
            f.write(recipe("nginx/quorilex-updates-php.conf", self.port, self.root,
                           **{"unix:/run/php/quorilex-updates.sock": "unix:" + socket_path,
                              "include fastcgi_params;": "include /etc/nginx/fastcgi_params;"}))
        self.start_nginx(nginx)
        self.check_site()

    def test_apache(self):
        apache = self.need("apache2", "apache2")
        modules = "/usr/lib/apache2/modules"
        loads = "".join("LoadModule %s_module %s/mod_%s.so\n" % (m, modules, m)
                        for m in ("mpm_event", "authz_core", "alias", "headers", "mime", "env"))
        user = "User www-data\nGroup www-data\n" if os.getuid() == 0 else ""
        with open(os.path.join(self.dir, "apache.conf"), "w") as f:
            f.write(loads + user + "ServerName 127.0.0.1\nListen 127.0.0.1:%d\nPidFile %s/apache.pid\nErrorLog %s/error.log\n"
                    "Mutex file:%s default\nTypesConfig /etc/mime.types\n" % (self.port, self.dir, self.dir, self.dir)
                    + recipe("apache/quorilex-updates.conf", self.port, self.root, **{"*:80": "*:%d" % self.port}))
        self.wait_for(self.start([apache, "-f", os.path.join(self.dir, "apache.conf"), "-DFOREGROUND"]), self.port)
        self.check_site()

    def test_lighttpd(self):
        lighttpd = self.need("lighttpd", "lighttpd")
        # Debian's lighty-enable-mod takes the name after the two digits.
        self.assertTrue(os.path.exists(os.path.join(DEPLOY, "lighttpd", "50-quorilex-updates.conf")))
        with open(os.path.join(self.dir, "50-quorilex-updates.conf"), "w") as f:
            f.write(recipe("lighttpd/50-quorilex-updates.conf", self.port, self.root))
        with open(os.path.join(self.dir, "lighttpd.conf"), "w") as f:
            f.write('server.document-root = "%s/empty"\nserver.port = %d\nserver.bind = "127.0.0.1"\n'
                    'server.errorlog = "%s/error.log"\ninclude "%s/50-quorilex-updates.conf"\n'
                    % (self.dir, self.port, self.dir, self.dir))
        os.makedirs(os.path.join(self.dir, "empty"))
        self.wait_for(self.start([lighttpd, "-D", "-f", os.path.join(self.dir, "lighttpd.conf")]), self.port)
        self.check_site()

    def test_caddy(self):
        caddy = self.need("caddy", "caddy")
        with open(os.path.join(self.dir, "site.caddy"), "w") as f:
            f.write(recipe("caddy/Caddyfile", self.port, self.root,
                           **{"updates.example.com {": "http://updates.example.com:%d {" % self.port,
                              "bind 203.0.113.10": "bind 127.0.0.1"}))
        with open(os.path.join(self.dir, "Caddyfile"), "w") as f:
            f.write("{\n\tadmin off\n}\nimport %s/site.caddy\n" % self.dir)
        env = dict(os.environ, HOME=self.dir, XDG_DATA_HOME=self.dir, XDG_CONFIG_HOME=self.dir)
        self.wait_for(self.start([caddy, "run", "--config", os.path.join(self.dir, "Caddyfile"), "--adapter", "caddyfile"],
                                 env=env), self.port)
        self.check_site()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
