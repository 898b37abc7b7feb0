"""nginx and squid from Debian, started on loopback with configurations of
their own, and the certificates they use, made with openssl at test time.

Run as root, nginx's workers drop to "nobody" and squid to "proxy": every
file they read lives in a folder under /tmp (world-traversable), readable by
all; squid's working folder is handed to its user.
"""
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

LOOPBACK = "127.0.0.1"


def wait_port(port, proc, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection((LOOPBACK, port), timeout=1):
                return True
        except OSError:
            time.sleep(0.1)
    return False


def public_folder(prefix):
    """A fresh folder that the servers' unprivileged users can read."""
    path = tempfile.mkdtemp(prefix=prefix)
    os.chmod(path, 0o755)
    return path


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


class Certs:
    """Two authorities ("trusted", which the test adds to the prefix, and
    "stranger", which it never does) and server certificates they sign."""

    def __init__(self):
        self.dir = public_folder("certs_")
        for ca in ("trusted", "stranger"):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Tarvelo test authority %s" % ca,
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                    "-keyout", ca + ".key", "-out", ca + ".pem", cwd=self.dir)
        openssl("x509", "-in", "trusted.pem", "-outform", "DER", "-out", "trusted.der",
                cwd=self.dir)
        self.trusted_der = os.path.join(self.dir, "trusted.der")

    def server(self, name, host, ca="trusted"):
        """(certificate, key) for host, signed by ca."""
        name = "server-" + name
        ext = os.path.join(self.dir, name + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n"
                    "basicConstraints=CA:FALSE\n" % host)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + host,
                "-keyout", name + ".key", "-out", name + ".csr", cwd=self.dir)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", name + ".pem",
                cwd=self.dir)
        for path in (name + ".pem", name + ".key"):
            os.chmod(os.path.join(self.dir, path), 0o644)
        return os.path.join(self.dir, name + ".pem"), os.path.join(self.dir, name + ".key")

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class _Daemon:
    def __init__(self, prefix):
        self.work = public_folder(prefix)
        self.proc = None

    def _start(self, command, port, log):
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        if not wait_port(port, self.proc):
            self.stop()
            with open(log, errors="replace") as f:
                raise RuntimeError("%s did not start:\n%s" % (command[0], f.read()))
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=20)
        shutil.rmtree(self.work, ignore_errors=True)

    def requests(self):
        """The access log so far: one line per request answered."""
        try:
            with open(os.path.join(self.work, "access.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""


class Nginx(_Daemon):
    """Serves the files of root under /EX/ on one port, over HTTP or (given
    a certificate) HTTPS. redirect: answer every request with a 302 to this
    URL prefix followed by the request's path. moved_list: the setup list
    answers with a relative 302 to /moved/orbsetup.txt, served from root.
    upstream: pass every request on to this loopback port (answers as they
    come, for what nginx itself would never send)."""

    def __init__(self, root, port, cert=None, redirect=None, moved_list=False, upstream=None):
        super().__init__("nginx_")
        self.port = port
        if cert:
            listen = "listen %s:%d ssl;\n ssl_certificate %s;\n ssl_certificate_key %s;" % (
                LOOPBACK, port, cert[0], cert[1])
        else:
            listen = "listen %s:%d;" % (LOOPBACK, port)
        if redirect:
            location = "location / { return 302 %s$request_uri; }" % redirect
        elif upstream:
            location = "location / { proxy_pass http://%s:%d; }" % (LOOPBACK, upstream)
        else:
            location = "location /EX/ { alias %s/; }" % root
        if moved_list:
            location += ("\n  absolute_redirect off;"
                         "\n  location = /EX/orbsetup.txt { return 302 /moved/orbsetup.txt; }"
                         "\n  location /moved/ { alias %s/; }" % root)
        temps = "\n".join(" %s_temp_path %s/%s;" % (t, self.work, t)
                          for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        self.conf = os.path.join(self.work, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write("""pid %(w)s/nginx.pid;
error_log %(w)s/error.log;
daemon off;
worker_processes 1;
events { worker_connections 64; }
http {
 access_log %(w)s/access.log;
%(temps)s
 default_type application/octet-stream;
 server {
  %(listen)s
  server_name localhost;
  %(location)s
 }
}
""" % dict(w=self.work, temps=temps, listen=listen, location=location))

    def start(self):
        return self._start(["nginx", "-p", self.work, "-e", self.work + "/error.log",
                            "-c", self.conf], self.port, os.path.join(self.work, "error.log"))


class Squid(_Daemon):
    """An authenticating proxy (Basic, basic_ncsa_auth) that forwards plain
    requests and tunnels CONNECT to the listed ports."""

    HELPER = "/usr/lib/squid/basic_ncsa_auth"

    def __init__(self, port, user, password, connect_ports):
        super().__init__("squid_")
        self.port = port
        hashed = subprocess.run(["openssl", "passwd", "-1", password], check=True,
                                capture_output=True, text=True).stdout.strip()
        passwd = os.path.join(self.work, "passwd")
        with open(passwd, "w") as f:
            f.write("%s:%s\n" % (user, hashed))
        self.conf = os.path.join(self.work, "squid.conf")
        with open(self.conf, "w") as f:
            f.write("""http_port %(lo)s:%(port)d
pid_filename %(w)s/squid.pid
cache_log %(w)s/cache.log
access_log stdio:%(w)s/access.log
coredump_dir %(w)s
cache deny all
cache_mem 8 MB
shutdown_lifetime 0 seconds
auth_param basic program %(helper)s %(passwd)s
auth_param basic realm test proxy
acl authed proxy_auth REQUIRED
acl tunnel_ports port %(ports)s
acl CONNECT method CONNECT
http_access deny CONNECT !tunnel_ports
http_access allow authed
http_access deny all
""" % dict(lo=LOOPBACK, port=port, w=self.work, helper=self.HELPER, passwd=passwd,
           ports=" ".join(str(p) for p in connect_ports)))
        if os.getuid() == 0:
            proxy = pwd.getpwnam("proxy")
            for path in (self.work, passwd, self.conf):
                os.chown(path, proxy.pw_uid, proxy.pw_gid)

    def start(self):
        return self._start(["squid", "-N", "-f", self.conf], self.port,
                           os.path.join(self.work, "cache.log"))
