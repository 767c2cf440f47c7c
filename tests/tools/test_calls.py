"""Per-call figures from recorded `glretrace --pcpu` output, and the trace-event document a viewer loads."""

import json
import os
import unittest

from sbench.results import calls, trace_events
from test_compare import recorded_run

FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "glretrace-pcpu.txt")


class Figures(unittest.TestCase):

    def test_calls_are_attributed_to_programs_and_a_replay_that_stops_early_says_so(self):
        with open(FIXTURE) as f:
            text = f.read()
        # apitrace binds each vertex attribute before a link, so that the replay binds the same: not the program's.
        text = text.replace("call 12825", "call 12824 0 0 34690000 9999 0 0 0 0 0 0 glBindAttribLocation\ncall 12825")
        series, problem = calls.parse_profile(text, programs=2)
        self.assertIsNone(problem)
        rounded = {key: [None if v is None else round(v, 6) for v in values] for key, values in series.items()}
        self.assertEqual(rounded, {
            "compile_vertex_ms": [21.281198, 0.707852], "compile_fragment_ms": [0.171338, 0.159525],
            "link_ms": [1.05244, 0.420984], "link_status_ms": [None, None],
            # The other eleven: two creates and two sources, create, two attaches, two detaches, two deletes.
            "other_ms": [round((8717 + 62299 + 3487 + 4139 + 12934 + 5520 + 160 + 7875 + 120 + 7924 + 2505) / 1e6, 6),
                         round((712 + 1995 + 782 + 1153 + 692 + 420 + 90 + 661 + 70 + 3396 + 2054) / 1e6, 6)]})

        stopped = text[:text.index("call 12840")]  # inside the second program's link
        self.assertEqual(calls.parse_profile(stopped, programs=2)[1], "the replay showed 1 of 2 programs")
        self.assertEqual(calls.parse_profile(text)[1], "the replay showed 2 of 1000 programs")
        reordered = text.replace("glAttachShader\ncall 12824", "glCreateShader\ncall 12824")
        self.assertEqual(calls.parse_profile(reordered, programs=2)[1], "the replay showed 0 of 2 programs")
        self.assertEqual(calls.parse_profile("Rendered 0 frames\n", programs=2)[1],
                         "no glretrace --pcpu profile in the replay's output")

        summary = calls.summarise(dict(series, source="replay"), 11.5)
        self.assertAlmostEqual(summary["replay_link_share_pct"], 100 * (1.05244 + 0.420984) / sum(
            sum(v for v in column if v is not None) for column in zip(*series.values())))
        self.assertIsNone(summary["replay_link_status_p50_ms"])
        self.assertAlmostEqual(summary["replay_vs_timed"], summary["replay_program_p50_ms"] / 11.5)

    def test_a_trace_event_document_a_viewer_can_load(self):
        replay = dict({key: [0.5] * 1000 for key, _ in calls.CALLS}, source="replay", link_status_ms=[None] * 1000)
        failed = {"run": 3, "reason": "hung after program 2: no output for 300 s", "programs": 3,
                  "progress_s": [0.5, 0.6, 0.7], "seconds": 300.7, "stderr": []}
        result = {"configuration": "llvmpipe", "shaders": {"label": "pair"}, "renderer": "llvmpipe", "cache": "off",
                  "runs": [dict(recorded_run(seed=1), run=1), dict(recorded_run(seed=2), run=2)],
                  "failed_runs": [failed], "calls": replay, "failure": None}
        document = {"created": "c", "host": {"name": "h"}, "binary": {}, "results": [result]}
        events = json.loads(json.dumps(trace_events.document_events([document])[0]))

        self.assertTrue(all({"ph", "ts", "pid", "tid"} <= set(event) for event in events))
        threads = {}
        for event in sorted((e for e in events if e["ph"] == "X"), key=lambda e: (e["ts"], -e["dur"])):
            threads.setdefault(event["tid"], []).append(event)
        for tid, slices in threads.items():
            open_ends = []  # slices on one thread nest: each inside or after the ones open before it
            for event in slices:
                while open_ends and event["ts"] >= open_ends[-1] - 1e-6:
                    open_ends.pop()
                self.assertTrue(not open_ends or event["ts"] + event["dur"] <= open_ends[-1] + 1e-6, (tid, event))
                open_ends.append(event["ts"] + event["dur"])
        # Two runs, the failed run's two whole programs, and the replay's, each holding its calls.
        self.assertEqual({tid: [e["args"]["index"] for e in slices if e["name"] == "program"]
                          for tid, slices in threads.items()},
                         {1: list(range(1000)), 2: list(range(1000)), 3: [1, 2], 4: list(range(1000))})
        self.assertEqual(sum(e["name"] == "link" for e in threads[4]), 1000)
        counters = [e for e in events if e["ph"] == "C"]
        self.assertEqual(len(counters), 2000)
        self.assertTrue(all(isinstance(v, (int, float)) for e in counters for v in e["args"].values()))
        (hang,) = [e for e in events if e["ph"] == "i"]
        self.assertEqual((hang["name"], hang["tid"], hang["ts"]), (failed["reason"], 3, 300.7e6))


if __name__ == "__main__":
    unittest.main(verbosity=2)
