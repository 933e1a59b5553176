"""A real OTLP/HTTP receiver for the export tests: the dashboard's self-contained build that
scripts/setup.sh restores from the NuGet feed, started on 127.0.0.1 and read back through its
telemetry API."""

import json
import os
import subprocess
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

from harness import free_port

VERSION = "13.6.5"


def executable():
    packages = os.environ.get("NUGET_PACKAGES") or os.path.join(os.path.expanduser("~"), ".nuget", "packages")
    return os.path.join(packages, "aspire.dashboard.sdk.linux-x64", VERSION, "tools", "Aspire.Dashboard")


class ReceiverUnavailable(RuntimeError):
    pass


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1 and localhost, made with openssl: (cert, key) paths."""
    cert, key = os.path.join(folder, "receiver-cert.pem"), os.path.join(folder, "receiver-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


class Dashboard:
    """One receiver process; `otlp_url` takes spans, `spans()` gives back what it stored. With
    `certificate` ((cert, key) paths) it takes them over https only; with `api_key` only from
    requests whose x-otlp-api-key header carries it."""

    def __init__(self, otlp_port=None, timeout=60, certificate=None, api_key=None):
        path = executable()
        if not os.access(path, os.X_OK):
            raise ReceiverUnavailable("the OTLP receiver is not installed at %s (scripts/setup.sh restores it)" % path)
        self.otlp_port = otlp_port or free_port()
        self.api_port = free_port()
        self.otlp_url = "%s://127.0.0.1:%d" % ("https" if certificate else "http", self.otlp_port)
        self.api_url = "http://127.0.0.1:%d" % self.api_port
        self.log = tempfile.NamedTemporaryFile(prefix="qx-dashboard-", suffix=".log", delete=False)
        env = dict(os.environ,
                   DOTNET_DASHBOARD_OTLP_HTTP_ENDPOINT_URL=self.otlp_url,
                   ASPNETCORE_URLS=self.api_url,
                   DOTNET_CLI_TELEMETRY_OPTOUT="1")
        if api_key:
            env.update(Dashboard__Frontend__AuthMode="Unsecured", Dashboard__Api__AuthMode="Unsecured",
                       Dashboard__Otlp__AuthMode="ApiKey", Dashboard__Otlp__PrimaryApiKey=api_key)
        else:
            env["DOTNET_DASHBOARD_UNSECURED_ALLOW_ANONYMOUS"] = "true"
        if certificate:
            env.update(ASPNETCORE_Kestrel__Certificates__Default__Path=certificate[0],
                       ASPNETCORE_Kestrel__Certificates__Default__KeyPath=certificate[1])
        for key in list(env):
            if key.startswith(("CORECLR_", "MORVEL_", "OTEL_")):
                del env[key]
        self.process = subprocess.Popen([path], env=env, cwd=os.path.dirname(path), stdout=self.log,
                                        stderr=subprocess.STDOUT)
        deadline = time.time() + timeout
        while True:
            if self.process.poll() is not None or time.time() > deadline:
                text = self.log_text()
                self.stop()
                raise ReceiverUnavailable("the OTLP receiver did not start:\n" + text[-3000:])
            try:
                self.get("/api/telemetry/resources")
                if "OTLP/HTTP listening" in self.log_text():
                    break
            except (urllib.error.URLError, ConnectionError, OSError):
                pass
            time.sleep(0.2)

    def log_text(self):
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def get(self, path, **query):
        url = self.api_url + path + ("?" + urllib.parse.urlencode(query) if query else "")
        with urllib.request.urlopen(url, timeout=30) as response:
            body = response.read().decode()
        return json.loads(body) if body.strip() else {}

    def resources(self):
        return self.get("/api/telemetry/resources")

    def spans(self, service):
        """Every span stored for that service (all its instances), each with its resource
        attributes under "resource" and its own under "attrs"."""
        found = {}
        names = [r.get("displayName") or r["name"] for r in self.resources() if r.get("name") == service]
        for name in names:
            try:
                data = self.get("/api/telemetry/spans", resource=name, limit=100000).get("data") or {}
            except urllib.error.HTTPError as e:
                if e.code == 404:  # gone between the two requests
                    continue
                raise
            for rs in data.get("resourceSpans", []):
                resource = attributes(rs.get("resource", {}).get("attributes"))
                for ss in rs.get("scopeSpans", []):
                    for s in ss.get("spans", []):
                        s = dict(s)
                        s["resource"] = resource
                        s["attrs"] = attributes(s.get("attributes"))
                        found[s["spanId"]] = s
        return list(found.values())

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        try:
            os.unlink(self.log.name)
        except OSError:
            pass


def attributes(items):
    """OTLP key/value list -> dict of plain values (the receiver gives integers back as text)."""
    out = {}
    for item in items or []:
        value = item.get("value") or {}
        for kind in ("stringValue", "intValue", "doubleValue", "boolValue"):
            if kind in value:
                out[item["key"]] = value[kind]
                break
    return out
