"""Deterministic log batches for the benchmark, encoded by the protobuf package.

Each profile is generated from its own seed, group by group, until the encoded
LogGroupList reaches the requested size (about 4 MiB for the large batch, 64 KiB for
the small one). The same bytes feed every pipeline: as they are for the JSON text
paths, and as one raw LZ4 block (lz4.block.compress(data, store_size=False)) for the
compressed paths. Encoded batches are cached under bench/results/tmp/ keyed by profile,
size and generator version, so a rerun skips the generation.
"""

import hashlib
import os
import random
import sys
import zlib
from dataclasses import dataclass

import lz4.block

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "samples"))
import log_schema  # noqa: E402

# Bump when a generator changes, so stale cached batches are not reused.
GENERATOR_VERSION = 3
SEED = 20251208
LARGE = 4 * 1024 * 1024
SMALL = 64 * 1024
PROFILES = ("access", "app", "wide", "tiny")
BASE_TIME = 1_733_600_000
CACHE_DIR = os.path.join(HERE, "results", "tmp")


@dataclass
class Workload:
    profile: str
    size_name: str  # "large" or "small"
    data: bytes  # encoded LogGroupList
    compressed: bytes  # one raw LZ4 block of data
    groups: int
    logs: int
    contents: int
    sha256: str

    @property
    def name(self):
        return f"{self.profile}/{self.size_name}"

    @property
    def raw_size(self):
        return len(self.data)


# ---------------------------------------------------------------------------- access

_PATHS = ["/", "/index.html", "/api/v2/items", "/api/v2/items/{id}", "/api/v2/users/{id}/orders",
          "/static/js/app.{hex}.js", "/static/css/main.{hex}.css", "/search", "/login", "/cart/add",
          "/healthz", "/img/products/{id}/thumb.webp", "/graphql", "/api/v1/events"]
_METHODS = ["GET"] * 8 + ["POST"] * 3 + ["PUT", "DELETE", "HEAD"]
_STATUS = ["200"] * 14 + ["204", "301", "302", "304", "304", "400", "401", "403", "404", "404",
                          "429", "500", "502", "503"]
_AGENTS = [
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/131.0.0.0 Safari/537.36 Edg/131.0.2903.86",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/18.1.1 Safari/605.1.15",
    "Mozilla/5.0 (X11; Linux x86_64; rv:133.0) Gecko/20100101 Firefox/133.0",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 18_1_1 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
    "Gecko) Version/18.1.1 Mobile/15E148 Safari/604.1",
    "Mozilla/5.0 (Linux; Android 14; SM-S918B Build/UP1A.231005.007; wv) AppleWebKit/537.36 (KHTML, "
    "like Gecko) Version/4.0 Chrome/131.0.6778.81 Mobile Safari/537.36 [FB_IAB/FB4A;FBAV/489.0.0.66.81;]",
    "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
    "curl/8.5.0",
    "python-requests/2.32.3",
]
_REFERRERS = ["-", "https://www.example.com/", "https://shop.example.com/cart?step=2&coupon=WINTER24",
              "https://www.google.com/search?q=morvex+logs&hl=en", "android-app://com.example.shop/"]
_WORDS = ["alpha", "beta", "gamma", "delta", "red", "blue", "shoe", "café", "größe", "jacket",
          "winter", "sale", "kids", "2024", "xl", "m", "usb-c", "cable"]


def _ip(rng):
    return f"{rng.randrange(1, 224)}.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(1, 255)}"


def _query(rng):
    parts = []
    for _ in range(rng.randrange(0, 5)):
        key = rng.choice(["q", "page", "sort", "lang", "utm_source", "utm_campaign", "id", "filter"])
        value = "+".join(rng.choice(_WORDS) for _ in range(rng.randrange(1, 4)))
        parts.append(f"{key}={value}".replace("é", "%C3%A9").replace("ö", "%C3%B6"))
    return ("?" + "&".join(parts)) if parts else ""


def _access_group(group, rng, n_logs, seq):
    group.topic = "nginx-access"
    group.source = _ip(rng)
    group.machine_uuid = "%08x-4c1d-4b9a-9e1f-%012x" % (rng.getrandbits(32), rng.getrandbits(48))
    tags = [("hostname", f"web-{rng.randrange(1, 64):03d}"), ("region", rng.choice(["eu-west-1", "us-east-2"])),
            ("cluster", "prod-a"), ("pod_name", "nginx-ingress-7d9f8b6c5-%05x" % rng.getrandbits(20)),
            ("container_name", "controller")]
    for key, value in tags[: rng.randrange(3, 6)]:
        group.log_tags.add(key=key, value=value)
    for i in range(n_logs):
        t = BASE_TIME + seq + i // 4
        method = rng.choice(_METHODS)
        path = rng.choice(_PATHS).format(id=rng.randrange(1, 10**7), hex="%08x" % rng.getrandbits(32))
        uri = path + _query(rng)
        status = rng.choice(_STATUS)
        request_time = rng.random() * rng.choice([0.01, 0.1, 1.5])
        log = group.logs.add(time=t, time_ns=rng.randrange(10**9))
        add = log.contents.add
        add(key="remote_addr", value=_ip(rng))
        add(key="remote_user", value=rng.choice(["-"] * 9 + ["alice"]))
        add(key="time_local", value="08/Dec/2024:%02d:%02d:%02d +0000" % (t // 3600 % 24, t // 60 % 60, t % 60))
        add(key="request", value=f"{method} {uri} HTTP/1.1")
        add(key="request_method", value=method)
        add(key="request_uri", value=uri)
        add(key="status", value=status)
        add(key="body_bytes_sent", value=str(rng.randrange(0, 250_000)))
        add(key="http_referer", value=rng.choice(_REFERRERS))
        add(key="http_user_agent", value=rng.choice(_AGENTS))
        add(key="http_x_forwarded_for", value=rng.choice(["-", _ip(rng), _ip(rng) + ", " + _ip(rng)]))
        add(key="request_time", value="%.3f" % request_time)
        add(key="upstream_response_time", value="%.3f" % (request_time * 0.9))
        add(key="host", value=rng.choice(["www.example.com", "api.example.com", "shop.example.com"]))


# ------------------------------------------------------------------------------- app

_FRAGMENTS = [
    'user "{user}" logged in from {ip}',
    "payment failed: card declined (code=\"51\", retry=false)",
    "loaded config from C:\\ProgramData\\Morvex\\agent.yaml",
    "regex /^\\d+(\\.\\d+)?$/ did not match 'abc\\tdef'",
    "Überweisung für Kunde Müller abgeschlossen, Betrag 1.234,56 €",
    "用户登录成功，会话已创建",
    "Заказ №{n} отправлен курьером",
    "deploy finished 🚀 all checks green ✅",
    "cache miss 🔥 for key \"session:{n}\"",
    "queue depth={n}\tconsumers=4\tlag_ms={n}",
    "json payload: {{\"id\": {n}, \"tags\": [\"a\", \"b\"], \"path\": \"/tmp/x\\\\y\"}}",
    "retrying request to https://api.example.com/v1/items?id={n}&verbose=true",
    "slow query (1.{n} s): SELECT * FROM orders WHERE customer_id = {n} AND status = 'open'",
    "\x1b[31mERROR\x1b[0m colour codes leaked into the log line",
]
_TRACE = ("Traceback (most recent call last):\n"
          "  File \"/srv/app/handlers.py\", line {n}, in handle\n"
          "    result = self.process(request)\n"
          "  File \"/srv/app/process.py\", line 88, in process\n"
          "    raise ValueError(f\"bad value: {{value!r}}\")\n"
          "ValueError: bad value: 'naïve \\\\ input'")


def _message(rng):
    parts = []
    for _ in range(rng.randrange(2, 12)):
        parts.append(rng.choice(_FRAGMENTS).format(user=rng.choice(["ana", "bo", "zoë"]), ip=_ip(rng),
                                                   n=rng.randrange(10**6)))
    text = "; ".join(parts)
    if rng.random() < 0.25:
        text += "\n" + _TRACE.format(n=rng.randrange(1000))
    return text


def _app_group(group, rng, n_logs, seq):
    group.topic = "app-service"
    group.source = _ip(rng)
    for key, value in [("hostname", f"app-{rng.randrange(1, 32):02d}"), ("env", "production"),
                       ("service", rng.choice(["checkout", "billing", "search"]))]:
        group.log_tags.add(key=key, value=value)
    for i in range(n_logs):
        log = group.logs.add(time=BASE_TIME + seq + i, time_ns=rng.randrange(10**9))
        add = log.contents.add
        add(key="level", value=rng.choice(["INFO"] * 6 + ["WARN", "ERROR", "DEBUG"]))
        add(key="logger", value=rng.choice(["app.http", "app.db.pool", "app.payments"]))
        add(key="thread", value=f"worker-{rng.randrange(16)}")
        add(key="message", value=_message(rng))
        if rng.random() < 0.5:
            add(key="trace_id", value="%032x" % rng.getrandbits(128))


# ------------------------------------------------------------------------------ wide

def _wide_keys():
    rng = random.Random(SEED + 60)
    letters = "abcdefghijklmnopqrstuvwxyz"
    keys = set()
    while len(keys) < 60:
        key = "".join(rng.choice(letters) for _ in range(rng.randrange(2, 9)))
        if rng.random() < 0.15:
            key = key.capitalize()
        elif rng.random() < 0.1:
            key += "_" + str(rng.randrange(10))
        keys.add(key)
    keys = sorted(keys)
    rng.shuffle(keys)  # a fixed order that is not the sorted one
    return keys


_WIDE_KEYS = _wide_keys()


def _wide_group(group, rng, n_logs, seq):
    group.topic = "metrics"
    group.source = _ip(rng)
    for key, value in [("hostname", f"node-{rng.randrange(100)}"), ("az", "b"), ("agent", "1.4.2")]:
        group.log_tags.add(key=key, value=value)
    kinds = [rng.randrange(4) for _ in _WIDE_KEYS]
    for i in range(n_logs):
        log = group.logs.add(time=BASE_TIME + seq + i)
        if i % 2 == 0:
            log.time_ns = rng.randrange(10**9)
        add = log.contents.add
        for key, kind in zip(_WIDE_KEYS, kinds):
            if kind == 0:
                value = str(rng.randrange(1000))
            elif kind == 1:
                value = "%.2f" % (rng.random() * 100)
            elif kind == 2:
                value = rng.choice(["ok", "fail", "true", "false", "-", "n/a"])
            else:
                value = rng.choice(_WORDS)
            add(key=key, value=value)


# ------------------------------------------------------------------------------ tiny

def _tiny_group(group, rng, n_logs, seq):
    group.topic = rng.choice(["k8s-events", "audit", "cron"])
    if rng.random() < 0.8:
        group.source = _ip(rng)
    for j in range(rng.randrange(3, 6)):
        group.log_tags.add(key=("hostname", "namespace", "pod", "node", "zone")[j],
                           value=f"v{rng.randrange(10000)}")
    for i in range(n_logs):
        log = group.logs.add(time=BASE_TIME + seq + i, time_ns=rng.randrange(10**9))
        add = log.contents.add
        add(key="event", value=rng.choice(["Created", "Started", "Pulled", "Killing", "BackOff"]))
        add(key="object", value=f"pod/api-{rng.getrandbits(24):06x}")
        add(key="msg", value=rng.choice(["Started container", "Back-off restarting failed container",
                                          "Successfully pulled image \"registry/app:1.2\""]))
        if rng.random() < 0.5:
            add(key="count", value=str(rng.randrange(1, 50)))


# --------------------------------------------------------------------------- driver

# profile: (group maker, range of logs per group, rough encoded bytes per log)
_GROUP_MAKERS = {
    "access": (_access_group, (64, 512), 600),
    "app": (_app_group, (32, 256), 530),
    "wide": (_wide_group, (16, 128), 920),
    "tiny": (_tiny_group, (1, 3), 165),  # 1 or 2 logs per group
}


def _varint_len(n):
    length = 1
    while n >= 0x80:
        n >>= 7
        length += 1
    return length


def generate(profile, target):
    """Encoded LogGroupList of about `target` bytes (it stops at the first group that reaches it)."""
    make_group, (lo, hi), bytes_per_log = _GROUP_MAKERS[profile]
    rng = random.Random(SEED ^ zlib.crc32(profile.encode()) ^ target)
    batch = log_schema.LogGroupList()
    size = 0
    seq = 0
    while size < target:
        group = batch.log_groups.add()
        # The last group is cut short so that the batch ends close to the target size.
        n_logs = min(rng.randrange(lo, hi), 1 + (target - size) // bytes_per_log)
        make_group(group, rng, n_logs, seq)
        seq += n_logs
        group_size = group.ByteSize()
        size += 1 + _varint_len(group_size) + group_size
    data = batch.SerializeToString()
    assert len(data) == size, (len(data), size)
    return data


def _counts(data):
    batch = log_schema.LogGroupList.FromString(data)
    groups = len(batch.log_groups)
    logs = sum(len(g.logs) for g in batch.log_groups)
    contents = sum(len(log.contents) for g in batch.log_groups for log in g.logs)
    return groups, logs, contents


def load(profile, size_name, use_cache=True):
    target = LARGE if size_name == "large" else SMALL
    path = cache_path(profile, size_name)
    data = None
    if use_cache and os.path.exists(path):
        with open(path, "rb") as f:
            data = f.read()
    if data is None:
        data = generate(profile, target)
        os.makedirs(CACHE_DIR, exist_ok=True)
        tmp = path + ".part"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    groups, logs, contents = _counts(data)
    return Workload(profile, size_name, data, lz4.block.compress(data, store_size=False),
                    groups, logs, contents, hashlib.sha256(data).hexdigest()[:16])


def cache_path(profile, size_name):
    return os.path.join(CACHE_DIR, f"{profile}-{size_name}-g{GENERATOR_VERSION}-s{SEED}.pb")
