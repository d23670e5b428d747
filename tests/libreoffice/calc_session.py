"""A headless LibreOffice Calc with quillo.oxt installed, fed by the local
market-data service, for the LibreOffice tests, benchmark and screenshot.

Everything lives in one scratch folder: the service's definitions (ds.xml
with the service's port), the settings store (QUILLO_HKCU_DIR and
QUILLO_HKLM_DIR, written with `quillo settings set`), the LibreOffice
profile (-env:UserInstallation) the extension is installed into with
`unopkg add`, and the documents saved. Nothing of the user's is read or
written.

unopkg refuses a per-user install as root, so as root soffice, unopkg and
`quillo settings` run as the unprivileged user nobody (65534), who owns the
scratch folder.

Every process started is bounded by `timeout` (which ends its whole process
group, soffice's children included) and ended by close(), also when a check
fails; use the session as a context manager.

Runs on Debian's /usr/bin/python3, whose `uno` module python3-uno provides.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
import zipfile

SKIP = 77  # CTest's skip code (SKIP_RETURN_CODE)
NOBODY = 65534
# Upper bound of any one process's life; the test's own deadline is shorter.
PROCESS_LIMIT_S = 600

try:
    import uno
    from com.sun.star.beans import PropertyValue
    from com.sun.star.connection import NoConnectException
except ImportError:  # reported by missing_prerequisites()
    uno = None


def missing_prerequisites(oxt):
    """What is missing to run Calc with the extension, or None."""
    if uno is None:
        return "no uno module in %s (python3-uno)" % sys.executable
    for tool in ("soffice", "unopkg", "timeout"):
        if shutil.which(tool) is None:
            return "no %s on PATH (libreoffice-calc)" % tool
    if not oxt or not os.path.isfile(oxt):
        return "no quillo.oxt at %r (built with the LibreOffice SDK, libreoffice-dev)" % oxt
    return None


def skip_unless_ready(oxt):
    """Exits with the skip code, loudly, when Calc or the extension is absent."""
    reason = missing_prerequisites(oxt)
    if reason:
        banner = "=" * 72
        print("%s\nSKIPPED: the LibreOffice Calc tests need %s\n"
              "(scripts/setup.sh --test installs LibreOffice and its SDK)\n%s" % (banner, reason, banner),
              file=sys.stderr)
        sys.exit(SKIP)


def prop(name, value):
    p = PropertyValue()
    p.Name = name
    p.Value = value
    return p


def file_url(path):
    return uno.systemPathToFileUrl(os.path.abspath(path))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def menu_urls(oxt):
    """The extension's menu entries as {title: URL}, read from its Addons.xcu."""
    urls = {}
    with zipfile.ZipFile(oxt) as z:
        for name in z.namelist():
            if not name.lower().endswith("addons.xcu"):
                continue
            root = ET.fromstring(z.read(name))
            for node in root.iter("node"):
                props = {}
                for p in node.findall("prop"):
                    key = p.get("{http://openoffice.org/2001/registry}name")
                    values = [v.text or "" for v in p.findall("value")]
                    if values:
                        props[key] = values[0]
                if "URL" in props and props.get("Title"):
                    urls[props["Title"].replace("~", "")] = props["URL"]
    return urls


class CalcSession:
    """The market service, a settings store and a headless Calc with the extension."""

    def __init__(self, quillo, market, data, oxt, settings=(), market_args=(), minute_seconds=None):
        self.quillo, self.market_bin, self.data, self.oxt = quillo, market, data, oxt
        self.root = tempfile.mkdtemp(prefix="quillo-calc-")
        self.as_nobody = os.geteuid() == 0
        self.procs = []
        self.soffice = None
        self.ctx = self.desktop = None
        self.env = dict(os.environ)
        self.env.update({
            "HOME": os.path.join(self.root, "home"),
            "QUILLO_HKCU_DIR": os.path.join(self.root, "store", "user"),
            "QUILLO_HKLM_DIR": os.path.join(self.root, "store", "machine"),
            "LC_ALL": "C.UTF-8",
        })
        if minute_seconds is not None:  # the engine's minute, shortened for tests and benchmarks
            self.env["QUILLO_CALC_MINUTE_SECONDS"] = str(minute_seconds)
        self.env.pop("XDG_CONFIG_HOME", None)
        self.env.pop("DISPLAY", None)
        self.profile = os.path.join(self.root, "profile")
        self.docs = os.path.join(self.root, "docs")
        for d in (self.env["HOME"], self.docs):
            os.makedirs(d)
        if self.as_nobody:
            os.chmod(self.root, 0o755)
        self._start_market(market_args)
        self._write_install()
        self._own()
        self.set_settings([("installpath", self.install + "/"), ("history_service", self.base_url),
                           ("product_site", "")] + list(settings))

    # --- processes -------------------------------------------------------

    def _user_cmd(self, cmd):
        """cmd run as the unprivileged user when we are root."""
        if self.as_nobody:
            return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] + cmd
        return cmd

    def _own(self):
        if self.as_nobody:
            for top, dirs, files in os.walk(self.root):
                for n in [top] + [os.path.join(top, f) for f in files]:
                    os.chown(n, NOBODY, NOBODY)

    def run_user(self, cmd, timeout=120, env=None):
        """Runs cmd as the soffice user with the session's environment; raises on failure."""
        r = subprocess.run(self._user_cmd(["timeout", "-k", "5", str(timeout)] + cmd), env=env or self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            raise RuntimeError("%s exited %d:\n%s" % (" ".join(cmd), r.returncode, r.stdout))
        return r.stdout

    def _start_market(self, market_args):
        p = subprocess.Popen(["timeout", "-k", "5", str(PROCESS_LIMIT_S), self.market_bin] + list(market_args),
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                             text=True, start_new_session=True)
        self.procs.append(p)
        self.base_url = p.stdout.readline().strip()
        self.fault_url = p.stdout.readline().strip()
        if not self.base_url.startswith("http://127.0.0.1:"):
            raise RuntimeError("quillo-market did not start (printed %r)" % self.base_url)
        self.port = int(self.base_url.rsplit(":", 1)[1])

    def _write_install(self):
        """ds.xml with the service's port, and the function library, in an install folder."""
        self.install = os.path.join(self.root, "install")
        os.makedirs(self.install)
        with open(os.path.join(self.data, "ds.xml"), encoding="utf-8") as f:
            ds = f.read().replace("{port}", str(self.port))
        with open(os.path.join(self.install, "ds.xml"), "w", encoding="utf-8") as f:
            f.write(ds)
        shutil.copy(os.path.join(self.data, "tarnvale.xla"), self.install)

    def set_settings(self, pairs):
        for name, value in pairs:
            self.run_user([self.quillo, "settings", "set", name, value], timeout=30)

    def install_extension(self):
        """unopkg add into the session's profile (created on first use); seconds taken."""
        t = time.monotonic()
        self.run_user(["unopkg", "add", "--suppress-license", "-env:UserInstallation=" + file_url(self.profile),
                       self.oxt], timeout=180)
        return time.monotonic() - t

    def start_calc(self, timeout=90, display=None):
        """Starts soffice (headless, or on an X display) and connects; returns the
        time of the start (monotonic)."""
        port = free_port()
        env = dict(self.env)
        mode = ["--headless", "--invisible"]
        if display:
            env["DISPLAY"] = display
            mode = []
        self.started = time.monotonic()
        self.soffice = subprocess.Popen(
            self._user_cmd(["timeout", "-k", "5", str(PROCESS_LIMIT_S), "soffice"] + mode +
                           ["--norestore", "--nodefault", "--nologo", "--nolockcheck",
                            "-env:UserInstallation=" + file_url(self.profile),
                            "--accept=socket,host=127.0.0.1,port=%d;urp;" % port]),
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.root, "soffice.log"), "ab"), start_new_session=True)
        self.procs.append(self.soffice)
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
        deadline = self.started + timeout
        while True:
            try:
                self.ctx = resolver.resolve("uno:socket,host=127.0.0.1,port=%d;urp;StarOffice.ComponentContext" %
                                            port)
                break
            except NoConnectException:
                if self.soffice.poll() is not None:
                    raise RuntimeError("soffice exited %d before accepting connections: %s" %
                                       (self.soffice.returncode, self.soffice_log()))
                if time.monotonic() > deadline:
                    raise RuntimeError("soffice did not accept a connection within %d s" % timeout)
                time.sleep(0.2)
        self.smgr = self.ctx.ServiceManager
        self.desktop = self.smgr.createInstanceWithContext("com.sun.star.frame.Desktop", self.ctx)
        return self.started

    def soffice_log(self):
        try:
            with open(os.path.join(self.root, "soffice.log"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    def stop_calc(self, grace=20):
        """Asks Calc to quit, then ends its process group whatever it did. The
        request runs on a thread of its own: a component that blocks Calc's
        shutdown must not block the test, it fails it."""
        clean = True
        if self.desktop is not None:
            desktop, self.desktop = self.desktop, None

            def terminate():
                try:
                    desktop.terminate()
                except Exception:  # the bridge goes away as Calc quits
                    pass
            threading.Thread(target=terminate, daemon=True).start()
        if self.soffice is not None:
            try:
                self.soffice.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                clean = False
            _end_group(self.soffice)
            self.soffice = None
        return clean

    def watchdog(self, seconds):
        """Ends soffice and the service after `seconds`, so that a UNO call
        that never returns fails (the bridge is disposed) instead of hanging."""
        def fire():
            print("calc: the %d s deadline passed; ending soffice" % seconds, file=sys.stderr, flush=True)
            for p in self.procs:
                _end_group(p)
        timer = threading.Timer(seconds, fire)
        timer.daemon = True
        timer.start()
        return timer

    def close(self):
        try:
            self.stop_calc(grace=5)
        finally:
            for p in self.procs:
                _end_group(p)
            if os.environ.get("QUILLO_KEEP_CALC_SCRATCH"):
                print("scratch folder kept: %s" % self.root, file=sys.stderr)
            else:
                shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        def on_term(signum, frame):
            raise SystemExit("calc: ended by signal %d" % signum)
        signal.signal(signal.SIGTERM, on_term)
        return self

    def __exit__(self, *exc):
        self.close()

    # --- documents -------------------------------------------------------

    def new_sheet(self, hidden=True):
        return self.desktop.loadComponentFromURL("private:factory/scalc", "_blank", 0, (prop("Hidden", hidden),))

    def open(self, path):
        return self.desktop.loadComponentFromURL(file_url(path), "_blank", 0, (prop("Hidden", True),))

    def save_as(self, doc, name, filter_name):
        path = os.path.join(self.docs, name)
        doc.storeToURL(file_url(path), (prop("FilterName", filter_name), prop("Overwrite", True)))
        return path

    def dispatch(self, doc, url):
        helper = self.smgr.createInstanceWithContext("com.sun.star.frame.DispatchHelper", self.ctx)
        frame = doc.getCurrentController().getFrame()
        return helper.executeDispatch(frame, url, "", 0, ())


def _end_group(p):
    """Ends a process started in its own session, with all its children."""
    if p.poll() is None:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(p.pid, sig)
            except ProcessLookupError:
                break
            try:
                p.wait(timeout=5)
                break
            except subprocess.TimeoutExpired:
                continue
    # The group may outlive its leader (soffice.bin behind oosplash).
    try:
        os.killpg(p.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def cell_text(cell):
    """What the cell shows: its number or its text."""
    return cell.getString()


def wait_for(what, predicate, timeout, poll=0.1):
    """Polls predicate() until it returns a true value; raises with `what` on timeout."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = predicate()
        if last:
            return last
        time.sleep(poll)
    raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))
