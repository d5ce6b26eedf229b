#!/usr/bin/env python3
"""The publisher's kit as a publisher uses it. signrelease refuses what the updater would
refuse and re-signs a record changing its expiry alone. Each deploy/ recipe runs from Debian's
server on a loopback port, only its host, port and folders filled in, serving two releases
deploy/publish.sh put there; a server not installed is skipped.

    publishing.py SIGNRELEASE DEPLOY_DIR DEMO_SECRET_KEY NGINX_CONF_TEMPLATE
"""

import base64, http.client, json, os, shutil, socket, subprocess, sys, tempfile, time, unittest

SIGNRELEASE, DEPLOY, SECRET_KEY, NGINX_TEMPLATE = sys.argv[1:5]


def signed(body):
    return json.loads(base64.b64decode(json.loads(body)["data"]["SignedRecord"]))


class SignRelease(unittest.TestCase):
    def sign(self, folder, options=(), package_mib=3, notes_kib=1, expires=()):
        package, notes = os.path.join(folder, "p.msi"), os.path.join(folder, "notes")
        with open(package, "wb") as f:
            f.truncate(package_mib << 20)
        with open(notes, "wb") as f:
            f.write(b"n" * (notes_kib << 10))
        return subprocess.run([SIGNRELEASE, "record", *options, SECRET_KEY, package, "3.2.0", "2026-12-01", notes,
                               "https://example.com/p.msi", *expires], capture_output=True)

    def test_record(self):
        # Options, package MiB, notes KiB, expiry; the exit code, and the expiry's lead in days
        # and the piece size in MiB of a record written.
        for name, options, package, notes, expires, code, lead, piece in (
                ("record", (), 3, 1, (), 0, 7, 4),
                ("260 MiB: 64 pieces at most", (), 260, 1, (), 0, 7, 8),
                ("over a year ahead", (), 3, 1, ("+367d",), 1, 0, 0),
                ("expired", (), 3, 1, ("2020-01-01",), 1, 0, 0),
                ("over the updater's cap", (), 3, 700, (), 1, 0, 0),
                ("rollout of 31 days", ("--rollout-days", "31"), 3, 1, (), 2, 0, 0)):
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                run = self.sign(folder, options, package, notes, expires)
                self.assertEqual(run.returncode, code, run.stderr)
                if code == 0:
                    record = signed(run.stdout)
                    self.assertAlmostEqual(record["Expires"], time.time() + lead * 86400, delta=600)
                    self.assertEqual(record["PieceSize"], piece << 20)

    def test_resign(self):
        with tempfile.TemporaryDirectory() as folder:
            path, other = os.path.join(folder, "down_update.json"), os.path.join(folder, "other.secret")
            with open(path, "wb") as f:
                f.write(self.sign(folder, ("--rollout-days", "5"), expires=("+1d",)).stdout)
            with open(path, "rb") as f:
                before = f.read()
            subprocess.run([SIGNRELEASE, "keygen", other], check=True, capture_output=True)
            # Another key's signature leaves the published record as it was.
            self.assertEqual(subprocess.run([SIGNRELEASE, "resign", path, other], capture_output=True).returncode, 1)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), before)
            subprocess.run([SIGNRELEASE, "resign", path, SECRET_KEY], check=True)
            with open(path, "rb") as f:
                was, now = signed(before), signed(f.read())
            self.assertAlmostEqual(now.pop("Expires"), time.time() + 7 * 86400, delta=600)
            was.pop("Expires")
            self.assertEqual(now, was)


class Recipes(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="recipes-")
        self.root = os.path.join(self.dir, "www")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.processes, self.packages = [], {}
        for day, version in enumerate(("3.1.0", "3.2.0"), 1):
            self.packages[version] = os.urandom(300_000)
            subprocess.run(["sh", os.path.join(DEPLOY, "publish.sh"), SIGNRELEASE, SECRET_KEY, self.write(version, self.packages[version]),
                            version, "2026-12-0%d" % day, self.write("notes", "notes"), "http://updates.example.com/download",
                            self.root], check=True, stdout=subprocess.DEVNULL)
        # Servers that drop root's rights read the folder as another user.
        subprocess.run(["chmod", "-R", "a+rX", self.dir], check=True)

    def tearDown(self):
        for process in self.processes:
            process.terminate()
            process.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, name, data):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return f.name

    def recipe(self, name, **replace):
        with open(os.path.join(DEPLOY, name)) as f:
            text = f.read()
        for old, new in {"/srv/quorilex-updates": self.root, "listen 80;": "listen 127.0.0.1:%d;" % self.port, **replace}.items():
            text = text.replace(old, new)
        return text

    def start(self, *args, ready=None, env=None):
        if not shutil.which(args[0], path="/usr/sbin:/usr/bin"):
            self.skipTest("%s is not installed (apt-get install it)" % args[0])
        self.processes.append(subprocess.Popen(args, cwd=self.dir, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT))
        for _ in range(200):
            try:
                if ready and os.path.exists(ready) or not ready and not socket.create_connection(("127.0.0.1", self.port), 0.5).close():
                    return
            except OSError:
                pass
            time.sleep(0.1)
        self.fail("%s did not start" % args[0])

    def get(self, path, **headers):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        connection.request("GET", path, headers={"Host": "updates.example.com:%d" % self.port, "Accept-Encoding": "gzip", **headers})
        answer = connection.getresponse()
        body = answer.read()
        connection.close()
        return answer, body

    def check(self):
        answer, body = self.get("/version/down_update.php")
        with open(os.path.join(self.root, "version", "down_update.json"), "rb") as f:
            self.assertEqual((answer.status, body, answer.getheader("Cache-Control")), (200, f.read(), "public, max-age=300"))
        self.assertIn(b"/download/3.2.0/QuorilexVideo_32.msi", body)
        self.assertTrue(answer.getheader("Content-Type").startswith("application/json"))
        for validator, conditional in (("ETag", "If-None-Match"), ("Last-Modified", "If-Modified-Since")):
            self.assertEqual(self.get("/version/down_update.php", **{conditional: answer.getheader(validator)})[0].status, 304)
        # The release before stays where downloads under way fetch it, ranged and as stored.
        for version, package in self.packages.items():
            answer, body = self.get("/download/%s/QuorilexVideo_32.msi" % version, Range="bytes=1000-1999")
            self.assertEqual((answer.status, body, answer.getheader("Content-Encoding")), (206, package[1000:2000], None))
        # Listening on 127.0.0.1 alone, as /proc writes it.
        with open("/proc/net/tcp") as v4, open("/proc/net/tcp6") as v6:
            listening = {line.split()[1] for line in v4.readlines()[1:] + v6.readlines()[1:] if line.split()[3] == "0A"}
        self.assertEqual({a for a in listening if a.endswith(":%04X" % self.port)}, {"0100007F:%04X" % self.port})

    def nginx(self, site):
        os.makedirs(os.path.join(self.dir, "temp"))
        self.write("site.conf", site)
        with open(NGINX_TEMPLATE) as f:
            config = self.write("nginx.conf", f.read().replace("@DIR@", self.dir).replace("@EXTRA@", ""))
        self.start("nginx", "-p", self.dir, "-c", config, "-g", "daemon off;")

    def test_nginx(self):
        self.nginx(self.recipe("nginx/quorilex-updates.conf"))
        self.check()

    def test_nginx_php_fpm(self):
        sock = os.path.join(self.dir, "fpm.sock")
        shutil.copy(os.path.join(DEPLOY, "php", "down_update.php"), os.path.join(self.root, "version"))
        pool = self.recipe("php/quorilex-updates-fpm.conf", **{"/run/php/quorilex-updates.sock": sock,
                                                               "listen.group = www-data": "listen.mode = 0666"})
        config = self.write("fpm.conf", "[global]\nerror_log = %s/fpm.log\n%s" % (self.dir, pool))
        self.start("php-fpm8.2", "--nodaemonize", "--allow-to-run-as-root", "--fpm-config", config, ready=sock)
        self.nginx(self.recipe("nginx/quorilex-updates-php.conf", **{
            "unix:/run/php/quorilex-updates.sock": "unix:" + sock, "include fastcgi_params": "include /etc/nginx/fastcgi_params"}))
        self.check()

    def test_apache(self):
        modules = "".join("LoadModule %s_module /usr/lib/apache2/modules/mod_%s.so\n" % (m, m)
                          for m in ("mpm_event", "authz_core", "alias", "headers", "mime", "env"))
        self.start("apache2", "-DFOREGROUND", "-f", self.write("apache.conf", modules + (
            "User www-data\nGroup www-data\nServerName 127.0.0.1\nListen 127.0.0.1:%d\nPidFile {0}/pid\nErrorLog {0}/error.log\n"
            "Mutex file:{0} default\nTypesConfig /etc/mime.types\n".format(self.dir) % self.port)
            + self.recipe("apache/quorilex-updates.conf", **{"*:80": "*:%d" % self.port})))
        self.check()

    def test_lighttpd(self):
        self.start("lighttpd", "-D", "-f", self.write("lighttpd.conf", 'server.document-root = "{0}"\nserver.port = %d\n'
                   'server.bind = "127.0.0.1"\nserver.errorlog = "{0}/error.log"\n'.format(self.dir) % self.port
                   + self.recipe("lighttpd/50-quorilex-updates.conf")))
        self.check()

    def test_caddy(self):
        site = self.write("site.caddy", self.recipe("caddy/Caddyfile", **{
            "updates.example.com {": "http://updates.example.com:%d {" % self.port, "203.0.113.10": "127.0.0.1"}))
        self.start("caddy", "run", "--adapter", "caddyfile", "--config", self.write("Caddyfile", "{\n\tadmin off\n}\nimport " + site),
                   env=dict(os.environ, HOME=self.dir, XDG_DATA_HOME=self.dir, XDG_CONFIG_HOME=self.dir))
        self.check()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
