"""The history store on real SQLite and a real PostgreSQL: recording is
idempotent and concurrent, bad input writes nothing, old stores migrate,
and what history shows is escaped."""

import contextlib
import json
import os
import pathlib
import shutil
import sqlite3
import subprocess
import tempfile
import unittest
import uuid

import postgres
import psycopg
from sbench.history import schema, series, store as stores
from sbench.running import plan
from test_bisect import empty_history, git
from test_compare import ROOT, run_main as main
from test_corpus import made_corpus
from test_faults import FAKE, TOOL, as_nobody, for_nobody

WORK = {}


def setUpModule():
    """A PostgreSQL, a driver repository of three commits, and two results
    files of the fake benchmark (ref and new, 2 runs each)."""
    WORK["dir"] = unittest.enterModuleContext(tempfile.TemporaryDirectory(prefix="shaderbench-history-"))
    _, WORK["pg_dir"] = postgres.start()
    unittest.addModuleCleanup(postgres.stop, WORK["pg_dir"])
    WORK["pair"] = os.path.join(WORK["dir"], "pair")
    os.makedirs(os.path.join(WORK["pair"], "shaders"))
    for name in plan.PAIR:
        pathlib.Path(WORK["pair"], "shaders", name).write_text("void main() { }\n")
    WORK["repo"], _ = empty_history(WORK["dir"], 3)
    WORK["a"], WORK["b"] = (os.path.join(WORK["dir"], name + ".json") for name in "ab")
    measure("-n", "2", "--json", WORK["a"], "ref:FAKE_BENCH=ok", "new:FAKE_BENCH=ok,FAKE_MS=1300")

    def later(night):  # the next night's: the same configurations, new 100 ms slower
        night["created"] += "+1d"
        for run in night["results"][1]["runs"]:
            run["ms"] += 100
    edited(WORK["a"], WORK["b"], later, id=uuid.uuid4().hex)


def measure(*argv, shaders=None):
    """The tool run on the fake benchmark and the module's pair (or shaders: --corpus DIR)."""
    env = dict({k: v for k, v in os.environ.items() if k != "DISPLAY"}, TMPDIR=WORK["dir"])
    subprocess.run([TOOL, "--binary", FAKE, *(shaders or ("--shaders", WORK["pair"])), *argv], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def counts(url):
    store = stores.connect(url)
    try:
        return {table: stores.one(store, "SELECT COUNT(*) AS n FROM %s" % table)["n"]
                for table in ("machines", "commits", "comparisons", "results", "runs", "series")}
    finally:
        stores.close(store)


def execute(url, statement):
    store = stores.connect(url)
    stores.execute(store, statement)
    stores.close(store)


def edited(path, into, change=lambda document: None, indent=1, **fields):
    """A copy of the results file at path, at into, changed by change(document) and given fields."""
    document = json.loads(pathlib.Path(path).read_text())
    change(document)
    document.update(fields)
    pathlib.Path(into).write_text(json.dumps(document, indent=indent))
    return into


def insert(store, table, **row):
    return stores.one(store, "INSERT INTO %s (%s) VALUES (%s) RETURNING id" % (
        table, ", ".join(row), ", ".join(":" + k for k in row)), row)["id"]


def older(url, version):
    """(a store of that schema version, the key of its one time series: machine, configuration, workload)."""
    store = stores.connect(url, first=True)
    schema.prepare(store, to=version)
    machine = dict(cpu="c", cores=2, memory_gib=4, gpu="", tag="", name="other", **(
        {"host": "other"} if version > 2 else {}))
    key = {"machine_id": insert(store, "machines", **machine),
           "configuration_id": insert(store, "configurations", name="new", environment="{}"),
           "workload_id": insert(store, "workloads", label="s", shaders_sha256="", binary_sha256="", cache="off")}
    insert(store, "series", measure="time", unit="ms", **key)
    return store, key


def compared(store, key, digest, plan, host="vm"):
    """A comparison of the key's machine, and its result of the key's configuration and workload."""
    comparison = insert(store, "comparisons", digest=digest, machine_id=key["machine_id"], host_name=host, kernel="",
                        memory_mib=0, created="T", recorded=digest, complete=0, plan=plan)
    return insert(store, "results", comparison_id=comparison, configuration_id=key["configuration_id"],
                  workload_id=key["workload_id"])


def described(url):
    """{(table, column, type, nullable)} and the unique keys, as the engine tells them."""
    if url.startswith("postgresql"):
        with psycopg.connect(url) as conn:
            columns = conn.execute("SELECT table_name, column_name, data_type, is_nullable FROM "
                                   "information_schema.columns WHERE table_schema = 'public'").fetchall()
            keys = conn.execute("SELECT indexdef FROM pg_indexes WHERE schemaname = 'public'").fetchall()
        return set(columns), {k[0].split(" ON ", 1)[1].replace(" USING btree", "") for k in keys}
    with contextlib.closing(sqlite3.connect(url)) as conn:
        tables = [row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
        columns = {(t, c[1], c[2], c[3]) for t in tables for c in conn.execute("PRAGMA table_info(%s)" % t)}
        keys = {(t, i[2], tuple(c[2] for c in conn.execute("PRAGMA index_info(%s)" % i[1])))
                for t in tables for i in conn.execute("PRAGMA index_list(%s)" % t)}
    return columns, keys


class Stores(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="store-", dir=WORK["dir"])
        self.made = 0

    def urls(self):
        """A new, empty store on each engine."""
        self.made += 1
        name = "t%d_%d" % (os.getpid(), self.made) + os.path.basename(self.dir).replace("-", "_").lower()
        return [os.path.join(self.dir, "%d.sqlite" % self.made), postgres.fresh_database(WORK["pg_dir"], name)]

    def said(self, command, url, *argv):
        """What command (record, history) printed, having exited 0 and said nothing on standard error."""
        status, out, err = main(command, "--store", url, *argv)
        self.assertEqual((status, err), (0, ""), err)
        return out

    def refused(self, says, *argv):
        status, out, err = main(*argv)
        self.assertEqual((status, out, err.count("\n"), says in err), (2, "", 1, True), err)


class Store(Stores):

    def test_eight_processes_recording_at_once_into_a_new_store_leave_no_duplicates(self):
        for url in self.urls():
            with self.subTest(url=url):
                argv = [TOOL, "record", "--store", url, "--repo", WORK["repo"], "--commit", "new=HEAD", "--machine",
                        "runner"]
                procs = [subprocess.Popen(argv + [WORK["ab"[i % 2]]], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          text=True) for i in range(8)]
                said = [proc.communicate() + (proc.returncode,) for proc in procs]
                self.assertEqual([s[2] for s in said], [0] * 8, said)
                self.assertEqual(sum("already recorded" in s[0] for s in said), 6, said)
                self.assertEqual(counts(url), {"machines": 1, "commits": 1, "comparisons": 2, "results": 4,
                                               "runs": 8, "series": 4})

    def test_the_first_schema_migrates_to_the_current_one_with_what_it_holds_and_a_newer_store_is_refused(self):
        for made, migrated in zip(self.urls(), self.urls()):
            with self.subTest(url=made):
                stores.close(stores.connect(made))
                store, key = older(migrated, 1)
                # A part of one comparison and the whole of it, from vm; another from a host of the same hardware:
                # rekeyed as one comparison, and the hosts told apart.
                for digest, host, numbers in (("x1", "vm", [1]), ("x2", "vm", [1, 2]), ("x3", "other", [1])):
                    result = compared(store, key, digest, "{}", host)
                    for number in numbers:
                        insert(store, "runs", result_id=result, number=number, failed=0, ms=1000, details="{}")
                stores.close(store)
                self.assertNotEqual(described(made), described(migrated))
                self.assertEqual(counts(migrated), {"machines": 2, "commits": 0, "comparisons": 2, "results": 2,
                                                    "runs": 3, "series": 2})  # counted on a write's connection
                self.assertEqual(described(made), described(migrated))
                out = self.said("history", migrated, "--machine", "vm")
                self.assertEqual([line.split()[2] for line in out.splitlines()[3:]], ["2"], out)
                self.said("record", migrated, WORK["a"])
                execute(migrated, "INSERT INTO schema_version (version, applied) VALUES (99, '')")
                self.refused("schema version 99, newer than this tool's", "history", "--store", migrated)

    def test_history_orders_by_commit_and_escapes_what_the_store_holds(self):
        def hostile(document):
            document["host"]["name"] = "evil\x1b]0;owned\x07"
            for config in document["plan"]["configurations"] + document["results"]:
                config.update({key: "=HYPERLINK(1)" for key in ("name", "configuration") if config.get(key) == "ref"})
        evil = edited(WORK["a"], os.path.join(self.dir, "evil.json"), hostile, id=uuid.uuid4().hex)
        csv_path = os.path.join(self.dir, "h.csv")
        for url in self.urls():
            with self.subTest(url=url):
                # b (1400 ms) at the later commit is recorded first: the history still puts a (1300 ms) first.
                for path, rev in ((WORK["b"], "HEAD"), (WORK["a"], "HEAD~1")):
                    self.said("record", url, path, "--repo", WORK["repo"], "--commit", "new=" + rev)
                out = self.said("history", url, "--config", "new", "--pair", "pair", "--measure", "time")
                self.assertEqual([line.split()[1:4] for line in out.splitlines()[2:4]],
                                 [["2", "2", "1300.0"], ["3", "2", "1400.0"]])
                self.said("record", url, evil, "--machine", "tag\x1b[2J")
                out = self.said("history", url, "--machine", "tag\x1b[2J", "--csv", csv_path)
                text = pathlib.Path(csv_path).read_text()
                self.assertEqual(("\x1b" in out + text, "tag\\x1b[2J" in out, "'=HYPERLINK(1)" in text),
                                 (False, True, True), out + text)


class Guarded(Stores):
    """A store's names, its files never an output, reads that write nothing, another program's file left as it
    is, and a store that cannot be used said in one line."""

    def test_no_output_is_an_input_the_store_and_the_files_beside_it_nor_a_file_of_the_tools_checkout(self):
        url = os.path.join(self.dir, "s.sqlite")
        self.said("record", url, WORK["a"])
        kept = pathlib.Path(url).read_bytes()
        run = ["run", "--binary", FAKE, "--record", "--store", url]
        bisect = ["bisect", "HEAD~2", "HEAD", "--repo", WORK["repo"], "--build", "true", "--use", "X=1", "--builds",
                  self.dir, "--binary", FAKE, "--record", "--store", url]
        for argv in (["history", "--csv", url], ["history", "--json", url + "-wal"], ["history", "--html", url],
                     ["changes", "--json", url], ["changes", "--detect", "--json", url + "-shm"],
                     run + ["--json", url], run + ["--html", url + "-journal"], bisect + ["--json", url],
                     bisect + ["--html", url + "-wal"]):
            with self.subTest(argv=argv[:2]):
                self.refused("is the same file as --store", *argv, *(() if "--store" in argv else ("--store", url)))
        self.assertEqual(pathlib.Path(url).read_bytes(), kept)
        checkout = os.path.join(self.dir, "checkout")
        shutil.copytree(os.path.join(ROOT, "tools"), os.path.join(checkout, "tools"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        for argv in (["init", "-q"], ["add", "tools"], ["commit", "-qm", "tool"]):
            git(checkout, *argv)
        tool = os.path.join(checkout, "tools", "compare")
        done = subprocess.run([tool, "report", WORK["a"], "--csv", tool], capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stderr.count("\n")), (2, 1), done.stderr)
        self.assertIn("git tracks in the tool's own checkout", done.stderr)

    def test_a_store_is_a_path_a_postgresql_url_in_any_case_or_libpqs_key_value_form_and_nothing_else(self):
        self.enterContext(contextlib.chdir(self.dir))  # where a name taken for a file would be made
        self.addCleanup(os.environ.pop, stores.ENVIRONMENT, None)
        url = self.urls()[1]
        name, host = url.split("@/", 1)[1].split("?host=")
        with psycopg.connect(url, autocommit=True) as shared:  # another program's table: the tool takes a schema
            shared.execute("CREATE TABLE theirs (x INTEGER); CREATE SCHEMA ours")
        self.refused("not a shaderbench", "record", "--store", url, WORK["a"])
        self.assertEqual(main("record", "--store", url.replace("postgresql", "POSTGRESQL") +
                              "&options=-csearch_path%3Dours", WORK["a"])[0], 0)
        os.environ[stores.ENVIRONMENT] = "dbname=%s host=%s user=postgres options=-csearch_path=ours" % (name, host)
        self.assertEqual(main("record", WORK["a"])[1], WORK["a"] + ": already recorded\n")
        for given, says in (("dbname=hist user=nobody password=hunter2", "holds a password"),
                            ("postgresql://postgres:hunter2@/x?host=/tmp", "holds a password"),
                            ("service=no-such-service", "no-such-service"), ("sqlite:", "names no file"),
                            ("mysql://me:hunter2@x", "URL is not a store")):
            with self.subTest(store=given):
                os.environ[stores.ENVIRONMENT] = given
                self.refused(says, "record", WORK["a"])
                self.assertNotIn("hunter2", main("record", WORK["a"])[2])
        self.assertEqual(os.listdir(self.dir), [])

    def test_a_read_writes_nothing_and_another_programs_file_is_left_as_it_is(self):
        made = {"machines": ["CREATE TABLE machines (name TEXT)"], "empty": [],
                "versioned": ["CREATE TABLE schema_version (version INTEGER, applied TEXT)",
                              "INSERT INTO schema_version VALUES (1, '')", "CREATE TABLE notes (text TEXT)"]}
        for name, statements in made.items():
            with contextlib.closing(sqlite3.connect(os.path.join(self.dir, name))) as conn:
                conn.executescript(";".join(statements))
        pathlib.Path(self.dir, "text").write_text("a,b\n1,2\n")
        stores.close(stores.connect(os.path.join(self.dir, "old"), first=True))
        for name, says, argvs in (
                ("machines", "not a shaderbench", (["history"], ["changes", "--detect"], ["record", WORK["a"]])),
                ("versioned", "not a shaderbench", (["history"], ["record", WORK["a"]])),
                ("text", "file is not a database", (["history"], ["record", WORK["a"]])),
                ("empty", "nothing is recorded there (record makes it)", (["history"], ["changes"])),
                ("old", "schema version 1, older than this tool's (%d): a write (record) migrates it" % schema.VERSION,
                 (["history"], ["changes"]))):
            path = os.path.join(self.dir, name)
            kept = pathlib.Path(path).read_bytes()
            for argv in argvs:
                with self.subTest(store=name, argv=argv):
                    self.refused(says, *argv, "--store", path)
                    self.assertEqual(pathlib.Path(path).read_bytes(), kept)
        left = sorted(f for f in os.listdir(self.dir) if not f.startswith("old"))  # ours may keep SQLite's -wal
        self.assertEqual(left, sorted([*made, "text"]))

    def test_a_store_that_cannot_be_written_says_so_in_one_line(self):
        tool = for_nobody(self, tool=True)
        shared = os.path.join(tool, "store")
        os.mkdir(shared)
        os.chmod(shared, 0o777)  # nobody may make the -wal and -shm files, not write the store
        current, old = os.path.join(shared, "current"), os.path.join(shared, "old")
        stores.close(stores.connect(old, first=True))
        fleet = self.urls()[1]
        admin = self.enterContext(psycopg.connect(fleet, autocommit=True))
        admin.execute("CREATE ROLE bystander LOGIN")
        bystander = fleet.replace("postgres@", "bystander@")
        self.refused("permission denied", "record", "--store", bystander, WORK["a"])
        for url in (current, fleet):
            self.said("record", url, WORK["a"])
            execute(url, """INSERT INTO changes (series_id, detector, detector_version, parameters, seed, commit_range,
                change_pct, direction, status, created, updated)
                VALUES (1, 'd', '1', '{}', 0, '[]', 30, 'slower', 'detected', '', '')""")
        admin.execute("GRANT SELECT ON ALL TABLES IN SCHEMA public TO bystander")
        self.refused("permission denied for table changes", "change", "1", "--fixed", "--store", bystander)
        for argv, says in ((["changes", "--detect", "--store", current], "cannot be written"),
                           (["change", "1", "--fixed", "--store", current], "cannot be written"),
                           (["history", "--store", old], "a write (record) migrates it")):
            done = as_nobody(self, os.path.join(tool, "compare"), *argv)
            self.assertEqual((done.returncode, done.stderr.count("\n"), says in done.stderr), (2, 1, True), done.stderr)


class Identity(Stores):
    """A run is its comparison's key (its file's id, else its start, host and plan) and its number."""

    def cut(self, document, runs=1, old=False):
        document["complete"] = runs == 2
        for result in document["results"]:
            result["runs"] = result["runs"][:runs]
        if old:
            document.pop("id", None)

    def test_comparisons_started_together_runs_the_store_lost_and_overlapping_copies_are_each_recorded_once(self):
        first, twin = os.path.join(self.dir, "first.json"), os.path.join(self.dir, "twin.json")
        files = [edited(WORK["a"], os.path.join(self.dir, name + ".json"), lambda d: self.cut(d, runs, old=old), indent)
                 for name, runs, old, indent in (("part", 1, False, 1), ("full", 2, False, 1),
                                                 ("indented", 2, False, 4),
                                                 ("old-part", 1, True, 1), ("old-full", 2, True, 1))]
        for url in self.urls():
            with self.subTest(url=url):
                measure("-n", "2", "--json", first, "--record", "--store", url, "ref:FAKE_BENCH=ok",
                        "new:FAKE_BENCH=ok")
                # Started in the same second, on the same host, with the same plan: only its id differs.
                edited(first, twin, lambda d: self.cut(d, 0), id=uuid.uuid4().hex)
                measure("--resume", twin, "--record", "--store", url)
                # Two runs the store lost when it failed mid-comparison.
                execute(url, "DELETE FROM runs WHERE number = 2 AND result_id IN (SELECT id FROM results "
                             "WHERE comparison_id = (SELECT MIN(id) FROM comparisons))")
                status, out, err = main("record", "--store", url, first, twin)
                self.assertEqual([line.split(": ", 1)[1][:12] for line in out.splitlines()[::2]],
                                 ["added 2 runs", "already reco"], out)
                self.assertEqual([counts(url)[k] for k in ("comparisons", "runs")], [2, 8])
                # Parts and copies of another comparison, with its id and without.
                status, out, err = main("record", "--store", url, *files)
                self.assertEqual([line.split(": ", 1)[1].split(" (")[0].split(" to ")[0]
                                  for line in out.splitlines() if not line.startswith(" ")],
                                 ["recorded, 2 runs", "added 2 runs", "already recorded", "recorded, 2 runs",
                                  "added 2 runs"], out)
                self.assertEqual([counts(url)[k] for k in ("comparisons", "runs")], [4, 16])

    def test_a_record_adds_what_an_earlier_one_lacked_and_refuses_what_contradicts_it_or_is_bad(self):
        bad, a, b = os.path.join(self.dir, "bad.json"), WORK["a"], WORK["b"]
        pathlib.Path(bad).write_text(pathlib.Path(a).read_text()[:-100])
        at = ["--repo", WORK["repo"], "--commit"]
        for url in self.urls():
            with self.subTest(url=url):
                self.assertIn("recorded, 4 runs", self.said("record", url, a))
                for argv, status, says in (([a, *at, "new=HEAD~1", "--machine", "runner-b"], 0,
                                            "set --machine runner-b, --commit new="),
                                           ([a, *at, "new=HEAD"], 2, "new of comparison 1 is recorded at"),
                                           ([a, "--machine", "runner-c"], 2, "with --machine runner-b, not runner-c"),
                                           ([a, *at, "new=HEAD~1"], 0, a + ": already recorded\n"),
                                           ([b, bad], 2, "truncated"),
                                           ([b, *at, "nowhere=HEAD"], 2, "no configuration of that name"),
                                           ([b, *at, "new=nothing"], 2, "nothing^{commit}")):
                    before, got = counts(url), main("record", "--store", url, *argv)
                    self.assertEqual((got[0], got[2].count("\n"), says in got[1] + got[2]), (status, status // 2, True),
                                     got)
                    if status:
                        self.assertEqual(counts(url), before, "a refused record wrote")
                out = self.said("history", url, "--machine", "runner-b", "--config", "new", "--measure", "time")
                self.assertEqual([line.split()[1:3] for line in out.splitlines()[2:]], [["2", "2"]])
                # The untagged machine's series went with its comparison.
                self.assertEqual([counts(url)[k] for k in ("comparisons", "runs", "commits", "series")], [1, 4, 1, 4])

    def test_a_store_of_the_third_version_keeps_its_counted_runs_as_counts_not_times(self):
        counted = '{"counter":"callgrind","instructions":7000000000,"x":1}'
        for url in self.urls():
            with self.subTest(url=url):
                store, key = older(url, 3)
                insert(store, "series", measure="memory", unit="MiB", **key)
                for digest, planned, ms, details in (("timed", "{}", 1000, "{}"), ("counted", json.dumps(
                        {"clock": "instructions", "counter": "callgrind"}, separators=(",", ":")), 30000, counted)):
                    insert(store, "runs", result_id=compared(store, key, digest, planned, "other"), number=1, failed=0,
                           ms=ms, commit_mib=5, details=details)
                insert(store, "changes", series_id=1, detector="d", detector_version="1", parameters="{}", seed=0,
                       commit_range="[]", change_pct=30, direction="slower", status="detected", created="", updated="")
                stores.close(store)
                execute(url, "SELECT 1")  # a write's connection: migrated
                self.assertEqual([self.said("history", url, "--measure", measure).splitlines()[3].split()[2:4]
                                  for measure in ("time", "memory", "instructions")],
                                 [["1", "1000.0"], ["1", "5.0"], ["1", "7000000000"]])
                store = stores.connect(url)
                self.addCleanup(stores.close, store)
                insert(store, "changes", series_id=3, detector="d", detector_version="1", parameters="{}", seed=0,
                       commit_range="[]", change_pct=1, direction="more instructions", status="detected", created="",
                       updated="")  # a direction the new version allows
                self.assertEqual({k: counts(url)[k] for k in ("comparisons", "runs", "series")},
                                 {"comparisons": 2, "runs": 2, "series": 3})
                self.assertEqual(stores.rows(store, "SELECT instructions, details FROM runs ORDER BY id"),
                                 [{"instructions": None, "details": "{}"},
                                  {"instructions": 7000000000, "details": '{"counter":"callgrind","x":1}'}])

    def test_a_commit_a_merge_brought_in_or_a_shallow_clone_is_refused_with_the_merge_or_how_to_deepen_it(self):
        repo, url, shallow = (os.path.join(self.dir, name) for name in ("merged", "m.sqlite", "shallow"))
        git(self.dir, "clone", "-q", "--depth", "1", "file://" + WORK["repo"], shallow)
        self.refused("git -C %s fetch --unshallow" % shallow, "record", "--store", url, WORK["a"], "--repo", shallow,
                     "--commit", "new=HEAD")
        self.assertFalse(os.path.exists(url))
        git(self.dir, "init", "-q", "-b", "main", repo)
        for argv in (["commit", "--allow-empty", "-m", "c0"], ["checkout", "-b", "topic"],
                     ["commit", "--allow-empty", "-m", "b1"], ["checkout", "main"],
                     ["commit", "--allow-empty", "-m", "c1"], ["merge", "--no-ff", "-m", "m", "topic"]):
            git(repo, *argv)
        merge = git(repo, "rev-parse", "HEAD").stdout.strip()
        self.refused("merge %s (position 3) brought it in" % merge[:12], "record", "--store", url, WORK["a"],
                     "--repo", repo, "--commit", "new=topic")
        self.said("record", url, WORK["a"], "--repo", repo, "--commit", "new=main")


class Reads(Stores):
    def test_a_series_is_read_at_one_moment_series_of_two_hosts_or_binaries_never_merge_and_gpus_are_pci_ids(self):
        # The other host has GPUs (a machine's part): of what it says it has, only PCI ids are kept.
        devices = pathlib.Path(self.dir, "pci")
        for slot, *ids in (("0000:03:00.0", "0x030000", "0x10DE", "0x2204"),
                           ("0000:00:02.0", "0x038000", "0x8086", "0x9a49"),
                           ("0000:00:03.0", "0x020000", "0x1af4", "0x1041")):
            (devices / slot).mkdir(parents=True)
            for name, text in zip(("class", "vendor", "device"), ids):
                (devices / slot / name).write_text(text + "\n")
        gpus = plan.gpu_ids(str(devices)) + ["x\x1b[2J", 3]
        others = [edited(WORK["a"], os.path.join(self.dir, "%s.json" % key), lambda d: d.update(
            {"id": uuid.uuid4().hex, key: dict(d[key], **changed)}))
            for key, changed in (("host", {"name": "other", "gpus": gpus}), ("binary", {"sha256": "f" * 64}))]
        for url in self.urls():
            with self.subTest(url=url):
                self.said("record", url, WORK["a"])
                store = stores.connect(url)
                self.addCleanup(stores.close, store)
                (one,) = series.series_list(store, configuration="new", measure="time")
                # Another record commits the next night's between the statements of the read.
                self.assertEqual(len(series.series_points(store, one["id"],
                                                          between=lambda: self.said("record", url, WORK["b"]))), 1)
                self.assertEqual(len(series.series_points(store, one["id"])), 2)
                self.said("record", url, *others)
                out = self.said("history", url, "--config", "new", "--pair", "pair", "--measure", "time")
                names = [line for line in out.splitlines() if line and not line.startswith(" ")]
                self.assertEqual((len(set(names)), sum("binary ffffffffffff" in name for name in names)), (3, 1), out)
                out = self.said("history", url, "--machine", "other", "--config", "new", "--measure", "time")
                self.assertEqual(out.splitlines()[0], "other new pair time (ms)")
                self.assertEqual(stores.rows(store, "SELECT gpu FROM machines ORDER BY id"),
                                 [{"gpu": ""}, {"gpu": "10de:2204 8086:9a49"}])

    def test_a_corpus_is_its_pairs_runs_and_a_series_a_configuration_and_measure_of_the_pairs_geometric_means(self):
        path = os.path.join(self.dir, "r.json")
        corpus = made_corpus(self.dir, [b"[fragment shader]\nvoid main() { %d; }\n" % i for i in range(4)])
        measure("-n", "2", "--json", path, "a:FAKE_BENCH=ok", "b:FAKE_BENCH=ok", shaders=("--corpus", corpus))
        # ms by configuration, pair and round (MiB: a hundredth); the last pair fails to link on b only, and counts
        # nowhere (its 0 MiB, which would make any geometric mean 0, too).
        ms = {"a": [[1000, 1000], [2000, 1000], [4000, 8000], [9, 9]],
              "b": [[1100, 1100], [2200, 1100], [4400, 8800], [9, 9]]}

        def timed(document):
            for result in document["results"]:
                pair = sorted({r["shaders"]["label"] for r in document["results"]}).index(
                    result["shaders"]["label"])
                for run in result["runs"]:
                    run["ms"] = ms[result["configuration"]][pair][run["run"] - 1]
                    run["commit_mib"] = run["ms"] // 100
                    run["link_failures"] = 5 if (pair, result["configuration"]) == (3, "b") else 0
        complete, partial = (edited(path, os.path.join(self.dir, name + ".json"), timed, complete=done)
                             for name, done in (("complete", True), ("partial", False)))
        for url in self.urls():
            with self.subTest(url=url):
                self.said("record", url, partial)
                self.assertEqual(counts(url)["series"], 0)  # a mean over some of the pairs is not the corpus's
                self.said("record", url, complete)
                self.assertIn("already recorded", self.said("record", url, complete))
                self.assertEqual({k: counts(url)[k] for k in ("results", "runs", "series")},
                                 {"results": 10, "runs": 20, "series": 4})
                store = stores.connect(url)
                self.addCleanup(stores.close, store)
                self.assertEqual([(one["configuration"], one["shaders"], one["measure"],
                                   [p["runs"] for p in series.series_points(store, one["id"])])
                                  for one in series.series_list(store)],
                                 [("a", "corpus of 4 pairs", "memory", [[20, 20]]),
                                  ("a", "corpus of 4 pairs", "time", [[2000, 2000]]),
                                  ("b", "corpus of 4 pairs", "memory", [[22, 22]]),
                                  ("b", "corpus of 4 pairs", "time", [[2200, 2200]])])


if __name__ == "__main__":
    unittest.main()
