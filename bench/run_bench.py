#!/usr/bin/env python3
"""Vantrel beside the tools an administrator could script instead, on this machine.

Run through bench/run.sh, which builds the binaries first. Makes the workloads with
`vantrel-sim mirror`, serves them with `vantrel-sim serve` on loopback HTTPS, runs each
figure of Vantrel and of its peer interleaved in the same run, and prints each figure beside
its peer as a ratio, with the bar it must reach. Medians throughout; all raw figures go to
WORKDIR/results.json.
"""

import argparse
import glob
import json
import os
import platform
import plistlib
import shutil
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

GIB = 1024 ** 3
MIB = 1024 ** 2
CATALOG_GLOB = "content/catalogs/others/index-10.15-*.sucatalog"


def resume_store_key(url):
    """The name the program's resume store gives a URL's files (net/ResumeStore.cpp)."""
    def fnv(value):
        for byte in url.encode():
            value = ((value ^ byte) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
        return value
    return f"{fnv(0xcbf29ce484222325):016x}{fnv(0x84222325cbf29ce4):016x}"


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def spawn_measured(argv, cwd=None, stdout=subprocess.DEVNULL, env=None):
    """Runs argv to its end; answers wall seconds, CPU seconds (user + system), peak RSS bytes
    of the process (it has no children of its own here) and its exit status."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(argv, cwd=cwd, stdout=stdout, stderr=errors, env=env)
        # wait4 gives this child's own resource use; Popen's wait would lose it.
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        error = errors.read().decode(errors="replace")
    return {
        "wall": wall,
        "cpu": usage.ru_utime + usage.ru_stime,
        "user": usage.ru_utime,
        "system": usage.ru_stime,
        "peak_rss": usage.ru_maxrss * 1024,
        "status": process.returncode,
        "stderr": error,
    }


def check(result, what):
    if result["status"] != 0:
        raise RuntimeError(f"{what} failed ({result['status']}): {result['stderr'][-2000:]}")
    return result


def peak_rss_of_process_alone(argv, timeout):
    """Runs argv and samples its VmHWM until it ends: the peak resident memory of that process
    alone, without the tools it starts (wait4 would fold those in). Answers (bytes, wall)."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(process.stdout.read().splitlines()))
    reader.start()
    peak = 0
    status_file = f"/proc/{process.pid}/status"
    while process.poll() is None:
        try:
            with open(status_file) as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]) * 1024)
        except (FileNotFoundError, ProcessLookupError):
            pass
        if time.perf_counter() - start > timeout:
            process.kill()
            raise RuntimeError(f"{argv[0]} did not end in {timeout} s")
        time.sleep(0.005)
    reader.join()
    return peak, time.perf_counter() - start, process.returncode, [l.decode() for l in lines]


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.sim = os.path.join(self.build, "bin", "vantrel-sim")
        self.driver = os.path.join(self.build, "bin", "vantrel-bench")
        self.floor = os.path.join(self.build, "bin", "vantrel-bench-floor")
        self.work = os.path.abspath(args.workdir)
        self.servers = {}
        self.results = {"machine": machine(), "figures": {}}
        self.rows = []

    # ----- workloads -------------------------------------------------------------------

    def mirror(self, name, *options):
        folder = os.path.join(self.work, "mirrors", name)
        started = time.perf_counter()
        subprocess.run([self.sim, "mirror", folder, *options], check=True,
                       stdout=subprocess.DEVNULL)
        log(f"mirror {name} made in {time.perf_counter() - started:.1f} s")
        return folder

    def serve(self, name, folder, *options):
        cert = os.path.join(self.work, "certs", name + ".pem")
        os.makedirs(os.path.dirname(cert), exist_ok=True)
        process = subprocess.Popen([self.sim, "serve", folder, "--port", "0", "--cert-out", cert,
                                    *options],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        url = process.stdout.readline().decode().strip()
        if not url.startswith("https://"):
            process.kill()
            raise RuntimeError(f"the server of {name} did not start")
        self.servers[name] = process
        return url, cert

    def mac(self, name, url, cert):
        root = os.path.join(self.work, "macs", name)
        subprocess.run([self.sim, "create", root, "--catalog-server", url, "--trust-cert", cert],
                       check=True, stdout=subprocess.DEVNULL)
        return root

    def workload(self, name, *options):
        folder = self.mirror(name, *options)
        url, cert = self.serve(name, folder)
        root = self.mac(name, url, cert)
        manifest = plistlib.load(open(os.path.join(folder, "Mirror.plist"), "rb"))
        catalog = glob.glob(os.path.join(folder, CATALOG_GLOB))[0]
        promised = catalog_packages(catalog)
        releases = {}
        for release in manifest["Releases"]:
            english = [u for u in release["DistributionURLs"] if u.endswith(".English.dist")]
            # What selection hands the download phase: the distribution file, then the
            # packages with the size and digest the catalog gives them.
            releases[release["Name"]] = {
                "urls": english[:1] + list(release["PackageURLs"]),
                "lines": english[:1] + [promised.get(u, u) for u in release["PackageURLs"]],
                "bytes": release["TotalBytes"],
            }
        return {"name": name, "mirror": folder, "url": url, "cert": cert, "mac": root,
                "releases": releases, "catalog": catalog}

    def stop_servers(self):
        for process in self.servers.values():
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.servers.values():
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.servers.clear()

    # ----- figures ---------------------------------------------------------------------

    def row(self, figure, ours, peer_name, peer, unit, bar=None, better="lower", note="",
            peer_short=None):
        ratio = ours / peer if peer else float("nan")
        verdict = ""
        if bar is not None:
            met = ratio <= bar if better == "lower" else ratio >= bar
            verdict = "met" if met else "NOT met"
        self.rows.append({"figure": figure, "ours": ours, "peer_name": peer_name, "peer": peer,
                          "unit": unit, "ratio": ratio, "bar": bar, "better": better,
                          "verdict": verdict, "note": note, "peer_short": peer_short})

    def note_row(self, figure, text, verdict=""):
        self.rows.append({"figure": figure, "text": text, "verdict": verdict})

    def run_driver(self, mode, *options):
        result_file = os.path.join(self.work, f"{mode}.json")
        if os.path.exists(result_file):
            os.remove(result_file)
        measured = spawn_measured([self.driver, mode, *options, "--result", result_file])
        check(measured, f"vantrel-bench {mode}")
        with open(result_file) as result:
            data = json.load(result)
        data["process"] = {k: v for k, v in measured.items() if k != "stderr"}
        return data

    def status(self, work):
        log("status: the whole process beside plistutil")
        info = os.path.join(work["mac"], "usr/local/vantrel/Vantrel.app/Contents/Info.plist")
        program = os.path.join(work["mac"], "usr/local/vantrel/Vantrel.app/Contents/MacOS/Vantrel")
        subprocess.run([self.sim, "add-installer", work["mac"], "--release", "Catalina",
                        "--build", "19H15", "--in",
                        "/Library/Application Support/com.corvane.vantrel"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        answer = subprocess.run([program, "--action", "status", "--osname", "Catalina"],
                                capture_output=True, text=True).stdout
        if answer != "true\n":
            raise RuntimeError(f"status answered {answer!r}")
        commands = {
            "vantrel": [program, "--action", "status", "--osname", "Catalina"],
            "plistutil": ["plistutil", "-i", info, "-o", "/dev/null"],
            "floor": [self.floor],
        }
        runs = self.args.status_runs
        walls = {name: [] for name in commands}
        cpus = {name: [] for name in commands}
        for _ in range(10):  # warm the page cache and the loader's
            for argv in commands.values():
                spawn_measured(argv)
        for _ in range(runs):  # interleaved, so load on the machine falls on all alike
            for name, argv in commands.items():
                result = check(spawn_measured(argv), name)
                walls[name].append(result["wall"])
                cpus[name].append(result["cpu"])
        figures = {name: {"wall_median": statistics.median(walls[name]),
                          "cpu_mean": statistics.mean(cpus[name])} for name in commands}
        self.results["figures"]["status"] = figures
        self.row('"status" whole process (wall, median)', figures["vantrel"]["wall_median"] * 1e3,
                 "plistutil", figures["plistutil"]["wall_median"] * 1e3, "ms", bar=3.0)
        self.row('"status" whole process (CPU, mean)', figures["vantrel"]["cpu_mean"] * 1e3,
                 "plistutil", figures["plistutil"]["cpu_mean"] * 1e3, "ms")
        self.row("  a C++ program that only loads the same libraries (wall)",
                 figures["floor"]["wall_median"] * 1e3, "plistutil",
                 figures["plistutil"]["wall_median"] * 1e3, "ms",
                 note="the floor for any program on the C++ runtime")

    def catalogs(self, works):
        log("catalog: fetch, parse and filter beside plistlib.load")
        scaling = []
        for label, work, peer in works:
            # Rounds of Vantrel and the peer in turn, so load on the machine falls on both.
            ours_rounds, peer_rounds = [], []
            rounds = self.args.repeat if peer else min(self.args.repeat, 3)
            for _ in range(rounds):
                ours_rounds.append(self.run_driver("catalog", "--mac", work["mac"],
                                                   "--repeat", "3"))
                if peer:
                    peer_rounds.append(python_plistlib(work["catalog"], 1))
            ours = dict(ours_rounds[-1])
            for key in ("seconds", "fetch_seconds", "read_seconds", "tree_read_seconds"):
                ours[key] = statistics.median(r[key] for r in ours_rounds)
            ours["peak_rss"] = max(r["peak_rss"] for r in ours_rounds)
            entry = {"vantrel": ours, "rounds": ours_rounds}
            if peer:
                entry["plistlib"] = {"seconds": statistics.median(r["seconds"] for r in peer_rounds),
                                     "rounds": peer_rounds}
                self.row(f"catalog {label}: fetch + parse + filter", ours["seconds"] * 1e3,
                         "plistlib.load (parse only)", entry["plistlib"]["seconds"] * 1e3, "ms",
                         bar=1 / 10)
            self.results["figures"][f"catalog_{label}"] = entry
            scaling.append((label, ours))
        base = scaling[0][1]
        for label, ours in scaling:
            per_product = ours["seconds"] / ours["products"] * 1e6
            per_mib = ours["seconds"] / (ours["catalog_bytes"] / MIB) * 1e3
            self.note_row(f"  catalog scaling {label}",
                          f"{ours['products']:.0f} products, {ours['catalog_bytes'] / MIB:.1f} MiB:"
                          f" {ours['seconds'] * 1e3:.0f} ms = {per_product:.0f} µs/product,"
                          f" {per_mib:.0f} ms/MiB (×{ours['seconds'] / base['seconds']:.2f} time"
                          f" for ×{ours['catalog_bytes'] / base['catalog_bytes']:.2f} bytes);"
                          f" fetch {ours['fetch_seconds'] * 1e3:.0f}, read"
                          f" {ours['read_seconds'] * 1e3:.0f} ms (whole-tree parse and filter"
                          f" {ours['tree_read_seconds'] * 1e3:.0f} ms); peak RSS"
                          f" {ours['peak_rss'] / MIB:.1f} MiB"
                          f" ({ours['peak_rss'] / ours['catalog_bytes']:.1f}× the catalog)")

    def selection(self, work):
        log("selection: 40 candidates beside one curl over one connection")
        urls_file = os.path.join(self.work, "selection-urls.txt")
        self.run_driver("select", "--mac", work["mac"], "--repeat", "1", "--urls-out", urls_file)
        urls = [line.strip() for line in open(urls_file) if line.strip()]
        argv = ["curl", "-sS", "--cacert", work["cert"],
                "-w", "%{time_total} %{time_appconnect} %{num_connects}\\n"]
        for url in urls:
            argv += ["-o", "/dev/null", url]
        ours_rounds, warm, whole, connections = [], [], [], 0
        for _ in range(self.args.repeat):
            ours_rounds.append(self.run_driver("select", "--mac", work["mac"], "--repeat", "3"))
            start = time.perf_counter()
            done = subprocess.run(argv, capture_output=True, text=True, check=True)
            whole.append(time.perf_counter() - start)
            lines = [l.split() for l in done.stdout.splitlines()]
            # Requests on the open connection: the first transfer's TLS set-up left out, as
            # the program's connection is open from the catalog fetch.
            warm.append(sum(float(l[0]) for l in lines) - float(lines[0][1]))
            connections = sum(int(l[2]) for l in lines)
        ours = dict(ours_rounds[-1])
        ours["seconds"] = statistics.median(r["seconds"] for r in ours_rounds)
        ours["fetch_seconds"] = statistics.median(r["fetch_seconds"] for r in ours_rounds)
        peer = {"seconds_warm": statistics.median(warm), "seconds_process": statistics.median(whole),
                "documents": len(urls), "connections": connections}
        self.results["figures"]["selection"] = {"vantrel": ours, "rounds": ours_rounds,
                                                "curl": peer}
        self.row(f"product selection, {ours['candidates']:.0f} candidates "
                 f"({ours['documents']:.0f} documents)", ours["seconds"] * 1e3,
                 f"curl, {connections} connection(s)", peer["seconds_warm"] * 1e3, "ms", bar=1.0)

    def clear_folder(self, folder):
        if os.path.isdir(folder):
            shutil.rmtree(folder)
        os.makedirs(folder, mode=0o700)

    def downloads(self, label, work, release, repeat, record_rss=False):
        urls = work["releases"][release]["urls"]
        urls_file = os.path.join(self.work, f"urls-{work['name']}-{release}.txt")
        with open(urls_file, "w") as out:
            out.write("\n".join(work["releases"][release]["lines"]) + "\n")
        folder = self.download_folder(work)
        names = [url.rsplit("/", 1)[1] for url in urls]
        curl = ["curl", "--parallel", "--parallel-max", "50", "-sS", "--no-progress-meter",
                "--cacert", work["cert"]]
        for name, url in zip(names, urls):
            curl += ["-o", name, url]
        # The same guarantee scripted: the transfers, then each package checked against the
        # catalog's digest, as the program does while the bytes stream in. OpenSSL's SHA-1 is
        # the one the program uses (coreutils' sha1sum takes three times its time here).
        sums = os.path.join(self.work, f"sums-{work['name']}-{release}.txt")
        digested = []
        with open(sums, "w") as out:
            for line in work["releases"][release]["lines"]:
                fields = line.split()
                if len(fields) == 3 and len(fields[2]) == 40:
                    digested.append(fields[0].rsplit("/", 1)[1])
                    out.write(f"{fields[2]} *{digested[-1]}\n")
        check_script = (f'"$@" && openssl dgst -sha1 -r {" ".join(map(shlex.quote, digested))}'
                        f" | cmp -s - {shlex.quote(sums)}")
        checked = ["sh", "-c", check_script, "sh", *curl]
        ours_runs, curl_runs, checked_runs = [], [], []
        expected = {}
        # One untimed run first: the first transfer after another workload's files were
        # removed runs slow (the file system and page cache settle), whoever makes it.
        self.clear_folder(folder)
        check(spawn_measured(curl, cwd=folder), "curl --parallel")
        for index in range(repeat):
            order = ["ours", "curl", "checked"]
            order = order[index % 3:] + order[:index % 3]
            for who in order:
                self.clear_folder(folder)
                subprocess.run(["sync"], check=True)
                if who == "ours":
                    result = self.run_driver("download", "--mac", work["mac"], "--urls", urls_file)
                    ours_runs.append(result)
                else:
                    argv, runs = (curl, curl_runs) if who == "curl" else (checked, checked_runs)
                    result = check(spawn_measured(argv, cwd=folder), f"peer {who}")
                    result.pop("stderr")
                    runs.append(result)
                # Both must have stored the same files, whole.
                files = {n: os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)}
                if not expected:
                    expected.update(files)
                if files != expected or len(files) != len(urls):
                    raise RuntimeError(f"{label}: {who} stored {files}, not {expected}")
                result["bytes"] = sum(files.values())
        self.clear_folder(folder)
        figure = {
            "transfers": len(urls),
            "bytes": ours_runs[-1]["bytes"],
            "vantrel_seconds": statistics.median(r["seconds"] for r in ours_runs),
            "vantrel_cpu": statistics.median(r["process"]["cpu"] for r in ours_runs),
            # The driver's own VmHWM: wait4's figure carries this process's peak (see
            # catalog_packages), and so does curl's below, which makes it an upper bound only.
            "vantrel_peak_rss": max(r["peak_rss"] for r in ours_runs),
            "curl_seconds": statistics.median(r["wall"] for r in curl_runs),
            "curl_cpu": statistics.median(r["cpu"] for r in curl_runs),
            "curl_peak_rss": max(r["peak_rss"] for r in curl_runs),
            "checked_seconds": statistics.median(r["wall"] for r in checked_runs),
            "checked_cpu": statistics.median(r["cpu"] for r in checked_runs),
            "last_percentage": [r["last_percentage"] for r in ours_runs],
            "reports": [r["reports"] for r in ours_runs],
            "runs": {"vantrel": ours_runs, "curl": curl_runs, "checked": checked_runs},
        }
        self.results["figures"][f"download_{label}"] = figure
        return figure

    def resume(self):
        """The real program killed at half of a 1 GiB product and run again, against a run
        from zero: bytes the server sent and seconds of the whole caching run."""
        name = "resume"
        folder = self.mirror(name, "--release", "Catalina size=1GiB shape=large faults=stall-once",
                             "--products", "20")
        access = os.path.join(self.work, "resume-access.log")
        url, cert = self.serve(name, folder, "--access-log", access, "--stall-seconds", "600")
        root = self.mac(name, url, cert)
        manifest = plistlib.load(open(os.path.join(folder, "Mirror.plist"), "rb"))
        packages = manifest["Releases"][0]["PackageURLs"]
        largest = max(packages, key=lambda u: os.path.getsize(
            os.path.join(folder, u[u.index("/content/") + 1:])))
        half = os.path.getsize(os.path.join(folder, largest[largest.index("/content/") + 1:])) // 2
        program = os.path.join(root, "usr/local/vantrel/Vantrel.app/Contents/MacOS/Vantrel")
        argv = [program, "--action", "cache", "--osname", "Catalina"]
        stored = os.path.join(root, "private/var/folders/*/T/com.corvane.vantrel.resume",
                              resume_store_key(largest) + ".data")

        def package_bytes(since):
            total = 0
            with open(access) as lines:
                lines.seek(since)
                for line in lines:
                    fields = line.split()
                    if len(fields) == 5 and fields[2].endswith(".pkg"):
                        total += int(fields[4])
            return total

        def timed_run():
            since = os.path.getsize(access)
            started = time.perf_counter()
            result = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            seconds = time.perf_counter() - started
            if result.returncode != 0:
                raise RuntimeError(f"the caching run failed ({result.returncode})")
            return {"seconds": seconds, "bytes": package_bytes(since)}

        killed = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 600
        while True:
            found = glob.glob(stored)
            if found and os.path.getsize(found[0]) == half:
                break
            if time.monotonic() > deadline or killed.poll() is not None:
                killed.kill()
                raise RuntimeError("the first run never reached half of the largest package")
            time.sleep(0.05)
        killed.kill()
        killed.wait()
        again = timed_run()
        # The same product from zero: no installer cached, nothing kept.
        shutil.rmtree(os.path.join(root, "Library/Application Support/com.corvane.vantrel",
                                   "Install macOS Catalina.app"))
        for store in glob.glob(os.path.dirname(stored)):
            shutil.rmtree(store)
        zero = timed_run()
        total = manifest["Releases"][0]["TotalBytes"]
        figure = {"product_bytes": total, "killed_then_again": again, "from_zero": zero}
        self.results["figures"]["resume"] = figure
        met = again["bytes"] <= total - half + total // 100
        self.note_row("killed at half of 1 GiB, run again / run from zero",
                      f"{again['bytes'] / MIB:.1f} MiB in {again['seconds']:.1f} s / "
                      f"{zero['bytes'] / MIB:.1f} MiB in {zero['seconds']:.1f} s (whole caching"
                      " runs); bar: again ≤ the half left + 1%", "met" if met else "NOT met")

    def download_folder(self, work):
        # The program's own download folder on that Mac, as the driver names it.
        probe = os.path.join(self.work, f"probe-{work['name']}.txt")
        with open(probe, "w") as out:
            out.write(next(iter(work["releases"].values()))["urls"][0] + "\n")
        return self.run_driver("download", "--mac", work["mac"], "--urls", probe)["folder"]

    def full_run(self, label, work):
        """The real program's whole caching run: peak memory of its own process, and its
        phases from the microsecond timestamps of its log."""
        program = os.path.join(work["mac"], "usr/local/vantrel/Vantrel.app/Contents/MacOS/Vantrel")
        log_file = os.path.join(work["mac"], "private/var/log/vantrel.log")
        if os.path.exists(log_file):
            os.remove(log_file)
        subprocess.run(["sync"], check=True)
        peak, wall, status, lines = peak_rss_of_process_alone(
            [program, "--action", "cache", "--osname", "Catalina"], timeout=600)
        if status != 0:
            raise RuntimeError(f"the caching run failed ({status}): {lines[-5:]}")
        phases = log_phases(log_file)
        figure = {"peak_rss": peak, "wall": wall, **phases}
        self.results["figures"][f"full_run_{label}"] = figure
        return figure

    def finish(self, started):
        """Prints the table, writes results.json (and the Markdown table when asked) and
        removes the workloads unless they are to be kept."""
        self.results["rows"] = self.rows
        self.results["seconds"] = time.perf_counter() - started
        with open(os.path.join(self.work, "results.json"), "w") as out:
            json.dump(self.results, out, indent=1)
        print()
        print_table(self.rows, self.results["machine"])
        print(f"benchmarks took {self.results['seconds'] / 60:.1f} minutes; raw figures in "
              f"{os.path.join(self.work, 'results.json')}")
        if self.args.markdown:
            with open(self.args.markdown, "w") as out:
                print_table(self.rows, self.results["machine"], out=out, markdown=True)
        if not self.args.keep:
            for sub in ("mirrors", "macs"):
                shutil.rmtree(os.path.join(self.work, sub), ignore_errors=True)


CATALOG_PACKAGES = """
import json, plistlib, sys
with open(sys.argv[1], "rb") as source:
    products = plistlib.load(source).get("Products", {})
lines = {}
for product in products.values():
    if not isinstance(product, dict):
        continue
    packages = product.get("Packages")
    for package in packages if isinstance(packages, list) else []:
        if isinstance(package, dict) and "URL" in package and "Size" in package:
            lines[package["URL"]] = (f"{package['URL']} {package['Size']} "
                                     f"{package.get('Digest', '')}").strip()
json.dump(lines, sys.stdout)
"""


def download_rows(bench, label, figure):
    """A download figure beside curl alone, and beside curl followed by the digest check the
    program makes of every package (the same guarantee, scripted)."""
    bench.row(f"download {label} (wall)", figure["vantrel_seconds"], "curl --parallel",
              figure["curl_seconds"], "s", bar=1.05)
    bench.row("  client CPU", figure["vantrel_cpu"], "curl --parallel", figure["curl_cpu"], "s",
              bar=1.2)
    bench.row("  wall, beside the same check", figure["vantrel_seconds"],
              "curl --parallel, then openssl sha1", figure["checked_seconds"], "s", bar=1.05,
              peer_short="curl+sha1")
    bench.row("  client CPU, beside the same check", figure["vantrel_cpu"],
              "curl --parallel, then openssl sha1", figure["checked_cpu"], "s", bar=1.2,
              peer_short="curl+sha1")


def catalog_packages(catalog):
    """Each package URL of a catalog as the download driver takes it: "URL SIZE DIGEST".

    Read in a child process: parsing a 40 MiB catalog here would raise this process's peak
    memory, and Linux hands that high-water mark on to every program it starts afterwards, so
    each measured peak RSS would read as this process's."""
    out = subprocess.run([sys.executable, "-c", CATALOG_PACKAGES, catalog], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def python_plistlib(path, repeat):
    code = ("import plistlib, sys, time\n"
            "times = []\n"
            "for _ in range(int(sys.argv[2])):\n"
            "    with open(sys.argv[1], 'rb') as f:\n"
            "        start = time.perf_counter(); plistlib.load(f)\n"
            "        times.append(time.perf_counter() - start)\n"
            "print(' '.join(map(str, times)))\n")
    done = subprocess.run([sys.executable, "-c", code, path, str(repeat)], capture_output=True,
                          text=True, check=True)
    times = [float(t) for t in done.stdout.split()]
    return {"seconds": statistics.median(times), "all_seconds": times,
            "python": platform.python_version()}


def log_phases(log_file):
    import datetime

    def stamp(line):
        return datetime.datetime.strptime(line[:26], "%Y-%m-%d %H:%M:%S.%f").timestamp()

    lines = open(log_file).read().splitlines()
    first = lambda text: next(stamp(l) for l in lines if text in l)
    last = lambda text: [stamp(l) for l in lines if text in l][-1]
    start = first("] <Debug> Caching")
    downloads = first("Downloading To:")
    finished = last("<Debug> Downloading: ")
    end = stamp(lines[-1])
    return {"catalog_and_selection": downloads - start, "download": finished - downloads,
            "assembly_and_placement": end - finished}


def machine():
    model = "unknown"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    memory = 0
    for line in open("/proc/meminfo"):
        if line.startswith("MemTotal:"):
            memory = int(line.split()[1]) * 1024
    return {"nproc": os.cpu_count(), "cpu": model, "ram_gib": round(memory / GIB, 1),
            "kernel": platform.release(), "load_at_start": os.getloadavg()[0],
            "curl": subprocess.run(["curl", "--version"], capture_output=True,
                                   text=True).stdout.splitlines()[0],
            "python": platform.python_version()}


def format_value(value, unit):
    if unit in ("ms",):
        return f"{value:.2f} ms" if value < 10 else f"{value:.1f} ms"
    if unit == "s":
        return f"{value:.2f} s"
    if unit == "MiB":
        return f"{value:.1f} MiB"
    return f"{value:.2f} {unit}"


def ratio_and_bar(row):
    """The ratio and the bar of a figure in the words the bar is read in: a bar below 1 on a
    time asks for so many times faster ("4.7× faster", bar "≥ 10× faster"); any other
    compares with the peer's time ("1.10× curl's time", bar "≤ 1.00× curl's time")."""
    peer = row.get("peer_short") or row["peer_name"].split()[0].rstrip(",")
    if row["bar"] is not None and row["bar"] < 1 and row["better"] == "lower":
        if row["ratio"] <= 1:
            ratio = f"{1 / row['ratio']:.1f}× faster"
        else:
            ratio = f"{row['ratio']:.1f}× slower"
        return ratio, f"≥ {1 / row['bar']:.0f}× faster"
    ratio = f"{row['ratio']:.2f}× {peer}'s"
    bar = ""
    if row["bar"] is not None:
        bar = f"{'≤' if row['better'] == 'lower' else '≥'} {row['bar']:.2f}× {peer}'s"
    if row["unit"] in ("ms", "s"):
        ratio += " time"
        bar += " time" if bar else ""
    return ratio, bar


def print_table(rows, machine_info, out=sys.stdout, markdown=False):
    if markdown:
        print("| figure | Vantrel | peer | ratio | bar | |", file=out)
        print("|---|---|---|---|---|---|", file=out)
    for row in rows:
        if "text" in row:
            if markdown:
                print(f"| {row['figure'].strip()} | {row['text']} | | | | {row['verdict']} |",
                      file=out)
            else:
                print(f"{row['figure']:<58} {row['text']}  {row['verdict']}", file=out)
            continue
        ours = format_value(row["ours"], row["unit"])
        peer = f"{format_value(row['peer'], row['unit'])} {row['peer_name']}"
        ratio, bar = ratio_and_bar(row)
        if markdown:
            print(f"| {row['figure'].strip()} | {ours} | {peer} | {ratio} | {bar} |"
                  f" {row['verdict']} |", file=out)
        else:
            print(f"{row['figure']:<58} {ours:>11}  {peer:<40} {ratio:>22}  {bar:<22}"
                  f" {row['verdict']}", file=out)
    info = machine_info
    print(f"\nmachine: {info['nproc']} cores, {info['cpu']}, {info['ram_gib']} GiB RAM, "
          f"Linux {info['kernel']}, load {info['load_at_start']:.1f} at start; "
          f"{info['curl']}; Python {info['python']}", file=out)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build folder with -DVANTREL_BENCH=ON")
    parser.add_argument("--workdir", default=os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                                          "vantrel-bench"))
    parser.add_argument("--quick", action="store_true",
                        help="one repetition, no 4 GiB products (a trial run, not for figures)")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions of in-process figures")
    parser.add_argument("--status-runs", type=int, default=300)
    parser.add_argument("--markdown", help="also write the table as Markdown to this file")
    parser.add_argument("--only", choices=["catalog", "selection", "status", "resume", "downloads"],
                        help="only these figures (catalog: the three catalog sizes, a few minutes;"
                             " selection: 40 candidates beside curl; status: the whole process"
                             " beside plistutil; resume: a 1 GiB product killed at half;"
                             " downloads: the two 1 GiB downloads beside curl --parallel)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    if args.quick:
        args.repeat, args.status_runs = 3, 100
    download_repeat = 1 if args.quick else 3
    big_repeat = 1 if args.quick else 2

    bench = Bench(args)
    if os.path.exists(bench.work):
        shutil.rmtree(bench.work)
    os.makedirs(bench.work)
    started = time.perf_counter()

    def stop(signum, _frame):
        bench.stop_servers()
        sys.exit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        catalog = ["--products", "2000", "--catalog-size", "7M"]
        if args.only == "catalog":
            bench.catalogs([
                ("2,000 products", bench.workload("catalog-2000", *catalog), True),
                ("6,000 products", bench.workload("catalog-6000", "--products", "6000",
                                                  "--catalog-size", "12M"), True),
                ("20,000 products", bench.workload("catalog-20000", "--products", "20000",
                                                   "--catalog-size", "40M"), False)])
            bench.stop_servers()
            bench.finish(started)
            return
        if args.only == "selection":
            bench.selection(bench.workload("selection", "--release", "Catalina",
                                           "--products", "1300"))
            bench.stop_servers()
            bench.finish(started)
            return
        if args.only == "status":
            bench.status(bench.workload("status", "--products", "20"))
            bench.stop_servers()
            bench.finish(started)
            return
        if args.only == "resume":
            bench.resume()
            bench.stop_servers()
            bench.finish(started)
            return
        one = bench.workload("one-gib", "--release", "Catalina size=1GiB shape=large",
                             "--release", "Mojave size=1GiB shape=mixed packages=10", *catalog)
        if args.only == "downloads":
            for label, release in (("1 GiB, one large package", "Catalina"),
                                   ("1 GiB, 10 mixed packages", "Mojave")):
                download_rows(bench, label, bench.downloads(label, one, release,
                                                            download_repeat))
            bench.stop_servers()
            bench.finish(started)
            return
        four = None
        if not args.quick:
            four = bench.workload("four-gib", "--release", "Catalina size=4GiB shape=large",
                                  "--release", "Mojave size=4GiB shape=mixed packages=10",
                                  *catalog)
        scale = bench.workload("scaling", "--release", "Catalina size=1GiB packages=1",
                               "--release", "Mojave size=1GiB packages=4",
                               "--release", "HighSierra size=1GiB packages=16", "--products", "20")
        six = bench.workload("catalog-6000", "--products", "6000", "--catalog-size", "12M")
        twenty = bench.workload("catalog-20000", "--products", "20000", "--catalog-size", "40M")
        select = bench.workload("selection", "--release", "Catalina", "--products", "1300")
        status_mac = bench.workload("status", "--products", "20")

        bench.status(status_mac)
        bench.catalogs([("2,000 products", one, True), ("6,000 products", six, True),
                        ("20,000 products", twenty, False)])
        bench.selection(select)

        log("downloads beside curl --parallel")
        shapes = [("1 GiB, one large package", one, "Catalina", download_repeat),
                  ("1 GiB, 10 mixed packages", one, "Mojave", download_repeat)]
        if four:
            shapes += [("4 GiB, one large package", four, "Catalina", big_repeat),
                       ("4 GiB, 10 mixed packages", four, "Mojave", big_repeat)]
        downloaded = {}
        for label, work, release, repeat in shapes:
            log(f"  {label}")
            figure = bench.downloads(label, work, release, repeat)
            downloaded[label] = figure
            download_rows(bench, label, figure)

        log("memory")
        small = downloaded["1 GiB, one large package"]
        if four:
            large = downloaded["4 GiB, one large package"]
            peaks = (small["vantrel_peak_rss"], large["vantrel_peak_rss"])
            met = max(peaks) <= 64 * MIB and abs(peaks[1] - peaks[0]) < 8 * MIB
            bench.note_row("peak RSS, download phase, 1 GiB / 4 GiB",
                           f"{peaks[0] / MIB:.1f} / {peaks[1] / MIB:.1f} MiB (curl "
                           f"{small['curl_peak_rss'] / MIB:.1f} / {large['curl_peak_rss'] / MIB:.1f}"
                           " MiB); bar ≤ 64 MiB, differ < 8 MiB",
                           "met" if met else "NOT met")
            full = (bench.full_run("1 GiB", one), bench.full_run("4 GiB", four))
            peaks = (full[0]["peak_rss"], full[1]["peak_rss"])
            met = max(peaks) <= 64 * MIB and abs(peaks[1] - peaks[0]) < 8 * MIB
            bench.note_row("peak RSS, whole caching run, 1 GiB / 4 GiB",
                           f"{peaks[0] / MIB:.1f} / {peaks[1] / MIB:.1f} MiB; bar ≤ 64 MiB,"
                           " differ < 8 MiB", "met" if met else "NOT met")
            for label, figure in zip(("1 GiB", "4 GiB"), full):
                bench.note_row(f"  whole caching run {label} (real program, log timestamps)",
                               f"catalog + selection {figure['catalog_and_selection']:.2f} s,"
                               f" downloads {figure['download']:.2f} s, assembly and placement"
                               f" {figure['assembly_and_placement']:.2f} s")

        log("progress reports")
        paced = bench.run_driver("progress", "--mac", one["mac"], "--urls",
                                 os.path.join(bench.work, "urls-one-gib-Mojave.txt"))
        bench.results["figures"]["progress"] = paced
        lasts = [p for f in downloaded.values() for p in f["last_percentage"]]
        met = paced["busiest_transfer_second_reports"] <= 10 and all(p == 100 for p in lasts)
        bench.note_row("progress reports per second per transfer",
                       f"at most {paced['busiest_transfer_second_reports']:.0f} in any second"
                       f" ({paced['transfers']:.0f} transfers, {paced['reports']:.0f} reports);"
                       f" last report {'100 in every run' if all(p == 100 for p in lasts) else lasts};"
                       " bar ≤ 10, last is 100", "met" if met else "NOT met")

        log("killed at half, run again")
        bench.resume()

        log("downloads: 1, 4 and 16 packages of the same total")
        for release, count in (("Catalina", 1), ("Mojave", 4), ("HighSierra", 16)):
            figure = bench.downloads(f"1 GiB in {count} packages", scale, release,
                                     download_repeat)
            bench.row(f"download scaling: 1 GiB in {count} package(s) (wall)",
                      figure["vantrel_seconds"], "curl --parallel", figure["curl_seconds"], "s",
                      bar=1.05)
    finally:
        bench.stop_servers()

    bench.finish(started)


if __name__ == "__main__":
    main()
