// Draws the page's charts from the data inlined beside this script, with
// Chart.js; everything else on the page is plain HTML. window.shaderbench
// keeps the charts for whoever wants to look at them (the tests do).
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("data").textContent);
  const charts = {};
  window.shaderbench = { charts: charts, data: data, drawn: false };
  Chart.defaults.animation = false;
  Chart.defaults.maintainAspectRatio = false;
  Chart.defaults.font.size = 12;

  const COLOURS = ["#4878a8", "#e0913a", "#5aa05a", "#b85450", "#8c6bb1", "#8c564b", "#d17fc1", "#7f7f7f"];
  const VERDICT_COLOURS = { "slower": "#b85450", "more memory": "#b85450", "faster": "#5aa05a",
                            "less memory": "#5aa05a", "same": "#4878a8" };
  const CALLED_COLOURS = { "hurt": "#b85450", "helped": "#5aa05a" };
  const fmt = (v, digits) => (v === null || v === undefined ? "-" : v.toFixed(digits));
  const points = (values) => values.map((y, x) => ({ x: x, y: y }));

  // Drag across a chart to zoom its x axis, double-click to zoom out.
  function zoomable(chart) {
    let from = null;
    chart.canvas.addEventListener("mousedown", (e) => { from = e.offsetX; });
    chart.canvas.addEventListener("mouseup", (e) => {
      if (from === null) return;
      const [a, b] = [Math.min(from, e.offsetX), Math.max(from, e.offsetX)];
      from = null;
      if (b - a < 5) return;
      chart.options.scales.x.min = Math.floor(chart.scales.x.getValueForPixel(a));
      chart.options.scales.x.max = Math.ceil(chart.scales.x.getValueForPixel(b));
      chart.update();
    });
    chart.canvas.addEventListener("dblclick", () => {
      delete chart.options.scales.x.min;
      delete chart.options.scales.x.max;
      chart.update();
    });
  }

  // Every point is kept; beyond four per pixel a bucket keeps its minimum and maximum, so no spike is hidden.
  const TIMELINE = {
    parsing: false, normalized: true,
    interaction: { mode: "index", intersect: false },
    plugins: { decimation: { enabled: true, algorithm: "min-max" } },
  };

  function verdictChart() {
    const v = data.verdicts, t = data.threshold;
    charts["verdicts"] = new Chart(document.getElementById("verdict-chart"), {
      type: "bar",
      data: {
        labels: v.map((r) => r.label + ": " + r.text.split(" (")[0]),
        datasets: [
          { type: "line", label: "change", data: v.map((r) => r.change), showLine: false, order: 0,
            pointStyle: "rectRot", pointRadius: 6, borderColor: "#222", backgroundColor: "#222" },
          { label: "its interval", data: v.map((r) => (r.low === null ? null : [r.low, r.high])),
            backgroundColor: v.map((r) => VERDICT_COLOURS[r.verdict] || "#999"), grouped: false, order: 1,
            barPercentage: 0.5 },
          { label: "±" + t + " %: the same", data: v.map(() => [-t, t]), backgroundColor: "rgba(0,0,0,0.08)",
            grouped: false, order: 2 },
        ],
      },
      options: {
        indexAxis: "y",
        scales: { x: { title: { display: true, text: "change, %" } } },
        plugins: { tooltip: { callbacks: { label: (c) => v[c.dataIndex].text } } },
      },
    });
  }

  // Every pair of a corpus, sorted by its change, with its interval; the ones called hurt or helped coloured.
  function corpusChart(id, chart, threshold) {
    const p = chart.points, colour = (q) => CALLED_COLOURS[q.called] || "#999";
    charts[id] = new Chart(document.getElementById(id), {
      type: "bar",
      data: {
        labels: p.map((q) => q.name),
        datasets: [
          { type: "line", label: "change", data: p.map((q) => q.change), showLine: false, order: 0,
            pointRadius: 2.5, borderColor: "#222", backgroundColor: "#222" },
          { label: "its interval", data: p.map((q) => (q.low === null ? null : [q.low, q.high])),
            backgroundColor: p.map(colour), grouped: false, order: 1 },
          { label: "±" + threshold + " %", data: p.map(() => [-threshold, threshold]),
            backgroundColor: "rgba(0,0,0,0.06)", grouped: false, order: 2, categoryPercentage: 1, barPercentage: 1 },
        ],
      },
      options: {
        scales: { x: { ticks: { display: false }, title: { display: true, text: "pairs, by their change" } },
                  y: { title: { display: true, text: "change against " + chart.against + ", %" } } },
        plugins: { tooltip: { callbacks: {
          title: (items) => p[items[0].dataIndex].name,
          label: (c) => { const q = p[c.dataIndex];
            return fmt(q.change, 1) + " % [" + fmt(q.low, 1) + ", " + fmt(q.high, 1) + "]" +
                   (q.called ? " " + q.called : ""); } } } },
      },
    });
  }

  // Each round's total: its time, or for counted runs its count (the time beside it in the tooltip, said to be
  // valgrind's where valgrind ran it).
  function roundsChart(i, s) {
    const ok = s.rounds.map((r) => (s.counter ? r.instructions : r.ms === null ? null : r.ms / 1000));
    const top = Math.max(...ok.filter((x) => x !== null), 1);
    const native = s.valgrind ? " under valgrind, not native" : "";
    charts["rounds-" + i] = new Chart(document.getElementById("rounds-" + i), {
      type: "bar",
      data: {
        labels: s.rounds.map((r) => "run " + r.run + (r.failed ? " (failed)" : "")),
        datasets: [
          { label: s.counter ? "instructions" : "total, s", data: ok, backgroundColor: COLOURS[0] },
          { label: "failed", data: s.rounds.map((r) => (r.failed ? top * 0.05 : null)), backgroundColor: "#b85450" },
        ],
      },
      options: {
        scales: { x: { stacked: true }, y: { title: { display: true, text: s.counter
          ? "instructions counted " + s.counter : "seconds for 1000 programs" } } },
        plugins: { tooltip: { callbacks: {
          label: (c) => { const r = s.rounds[c.dataIndex];
            return r.failed || (s.counter ? r.instructions + " instructions, " : "") + fmt(r.ms, 0) + " ms, " +
                                fmt(r.mib, 0) + " MiB" + native; } } } },
      },
    });
  }

  function memoryLines(t, index) {
    const lines = [];
    if (t.commit_mib) lines.push("commit " + fmt(t.commit_mib[index], 1) + " MiB");
    if (t.rss_mib) lines.push("resident " + fmt(t.rss_mib[index], 1) + " MiB");
    return lines;
  }

  function timeChart(i, s) {
    const t = s.timeline;
    const datasets = [
      { label: "p90", data: points(t.p90), borderWidth: 0, pointRadius: 0, fill: "+1",
        backgroundColor: "rgba(72,120,168,0.2)" },
      { label: "p10", data: points(t.p10), borderWidth: 0, pointRadius: 0 },
      { label: "median", data: points(t.median), borderColor: COLOURS[0], borderWidth: 1.2, pointRadius: 0 },
    ].concat(t.runs.map((run, k) => ({
      label: "run " + run.run, data: points(run.ms), hidden: true, borderWidth: 0.8, pointRadius: 0,
      borderColor: COLOURS[(k + 1) % COLOURS.length],
    })));
    charts["time-" + i] = new Chart(document.getElementById("time-" + i), {
      type: "line", data: { datasets: datasets },
      options: Object.assign({}, TIMELINE, {
        scales: { x: { type: "linear", title: { display: true, text: "program" } },
                  y: { type: "logarithmic", title: { display: true, text: "ms per program (log)" +
                                                     (s.valgrind ? ", under valgrind" : "") } } },
        plugins: Object.assign({}, TIMELINE.plugins, { tooltip: { callbacks: {
          title: (items) => "program " + items[0].parsed.x,
          label: (c) => c.dataset.label + ": " + fmt(c.parsed.y, 2) + " ms",
          afterBody: (items) => memoryLines(t, items[0].parsed.x) } } }),
      }),
    });
    zoomable(charts["time-" + i]);
  }

  function memoryChart(i, s) {
    const t = s.timeline, datasets = [];
    if (t.commit_mib) datasets.push({ label: "commit", data: points(t.commit_mib), borderColor: COLOURS[1],
                                      pointRadius: 0, borderWidth: 1.2 });
    if (t.rss_mib) datasets.push({ label: "resident", data: points(t.rss_mib), borderColor: COLOURS[2],
                                   pointRadius: 0, borderWidth: 1.2, borderDash: [4, 3] });
    charts["memory-" + i] = new Chart(document.getElementById("memory-" + i), {
      type: "line", data: { datasets: datasets },
      options: Object.assign({}, TIMELINE, {
        scales: { x: { type: "linear", title: { display: true, text: "programs alive" } },
                  y: { title: { display: true, text: "MiB, median over runs" } } },
        plugins: Object.assign({}, TIMELINE.plugins, { tooltip: { callbacks: {
          title: (items) => "program " + items[0].parsed.x + ": " + fmt(t.median[items[0].parsed.x], 2) + " ms" } } }),
      }),
    });
    zoomable(charts["memory-" + i]);
  }

  function callsChart(i, s) {
    const names = Object.keys(s.calls.series);
    // A cold first program may take many times the others: it may not flatten them (hover still shows it).
    const totals = s.calls.series[names[0]].map((_, x) => names.reduce((sum, n) => sum + s.calls.series[n][x], 0));
    const top = totals.slice().sort((a, b) => a - b)[Math.floor(0.995 * (totals.length - 1))] * 1.3;
    charts["calls-" + i] = new Chart(document.getElementById("calls-" + i), {
      type: "line",
      data: { datasets: names.map((name, k) => ({
        label: name, data: points(s.calls.series[name]), fill: k === 0 ? "origin" : "-1", pointRadius: 0,
        borderWidth: 0, backgroundColor: COLOURS[k % COLOURS.length] })) },
      options: Object.assign({}, TIMELINE, {
        scales: { x: { type: "linear", title: { display: true, text: "program" } },
                  y: { stacked: true, max: top, title: { display: true, text: "ms per program, in GL calls" } } },
        plugins: Object.assign({}, TIMELINE.plugins, { tooltip: { callbacks: {
          title: (items) => "program " + items[0].parsed.x,
          label: (c) => c.dataset.label + ": " + fmt(c.parsed.y, 2) + " ms" } } }),
      }),
    });
    zoomable(charts["calls-" + i]);
  }

  // Every configuration of a pair on one chart, each with its p10 to p90 band, and their ratios to the baseline.
  function togetherCharts(k, t) {
    [["time", "ms per program (log)" + (t.valgrind ? ", under valgrind" : ""), "logarithmic", 2],
     ["memory", "commit, MiB", "linear", 1]].forEach(
      ([measure, axis, scale, digits]) => {
        const lines = t[measure];
        if (!lines.length) return;
        const colour = (n) => COLOURS[n % COLOURS.length];
        const datasets = [];
        lines.forEach((line, n) => {
          datasets.push(
            { label: line.name + " p90", data: points(line.p90), borderWidth: 0, pointRadius: 0, fill: "+1",
              backgroundColor: colour(n) + "33" },
            { label: line.name + " p10", data: points(line.p10), borderWidth: 0, pointRadius: 0 },
            { label: line.name + " median", data: points(line.median), borderColor: colour(n), borderWidth: 1.2,
              pointRadius: 0 });
        });
        const id = "together-" + measure + "-" + k;
        charts[id] = new Chart(document.getElementById(id), {
          type: "line", data: { datasets: datasets },
          options: Object.assign({}, TIMELINE, {
            scales: { x: { type: "linear", title: { display: true, text: "program" } },
                      y: { type: scale, title: { display: true, text: axis } } },
            plugins: Object.assign({}, TIMELINE.plugins, { tooltip: { callbacks: {
              title: (items) => "program " + items[0].parsed.x,
              label: (c) => c.dataset.label + ": " + fmt(c.parsed.y, digits) } } }),
          }),
        });
        charts[id + "-ratio"] = new Chart(document.getElementById("together-" + measure + "-ratio-" + k), {
          type: "line",
          data: { datasets: lines.slice(1).map((line, n) => ({
            label: line.name + " / " + t.baseline, data: points(line.ratio), borderColor: colour(n + 1),
            borderWidth: 1, pointRadius: 0 })) },
          options: Object.assign({}, TIMELINE, {
            scales: { x: { type: "linear", title: { display: true, text: "program" } },
                      y: { title: { display: true, text: "median against " + t.baseline } } },
            plugins: Object.assign({}, TIMELINE.plugins, { tooltip: { callbacks: {
              title: (items) => "program " + items[0].parsed.x,
              label: (c) => c.dataset.label + ": " + fmt(c.parsed.y, 3) } } }),
          }),
        });
        zoomable(charts[id]);
        zoomable(charts[id + "-ratio"]);
      });
  }

  // Click a heading to sort by it; numbers as numbers, "-" last.
  function sortable(table) {
    table.querySelectorAll("th").forEach((th, column) => {
      th.addEventListener("click", () => {
        const numeric = th.dataset.numeric === "yes", body = table.tBodies[0];
        const up = th.dataset.order !== "up";
        table.querySelectorAll("th").forEach((other) => delete other.dataset.order);
        th.dataset.order = up ? "up" : "down";
        const key = (row) => {
          const text = row.cells[column].textContent;
          return numeric ? (text === "-" ? Infinity : parseFloat(text)) : text;
        };
        const rows = Array.from(body.rows).sort((a, b) => {
          const [x, y] = [key(a), key(b)];
          return (x < y ? -1 : x > y ? 1 : 0) * (up ? 1 : -1);
        });
        rows.forEach((row) => body.appendChild(row));
      });
    });
  }

  data.corpus.forEach((c, n) => c.charts.forEach((chart, k) => corpusChart("corpus-" + n + "-" + k, chart, c.threshold)));
  if (data.verdicts.length) verdictChart();
  data.together.forEach((t, k) => togetherCharts(k, t));
  // An element of tag with its text (never parsed as HTML: names come from other people's files) and class.
  function add(parent, tag, text, className) {
    const made = parent.appendChild(document.createElement(tag));
    if (text !== undefined) made.textContent = text;
    if (className) made.className = className;
    return made;
  }

  function canvas(parent, id, short) {
    add(add(parent, "div", undefined, short ? "chart short" : "chart"), "canvas").id = id;
  }

  // A section's body is made when it is drawn: the browser need not read thousands of tables nobody looks at.
  function sectionBody(i, s) {
    const article = document.getElementById("section-" + i);
    const native = s.valgrind ? " (under valgrind: not native)" : "";
    const shown = (v) => (v === null || v === undefined ? "-" : String(v));
    if (s.failure) add(article, "p", "Stopped: " + s.failure, "failed");
    add(article, "h4", "Totals of each round");
    canvas(article, "rounds-" + i, true);
    const table = add(article, "table", undefined, "rounds"), head = add(add(table, "thead"), "tr");
    (s.counter ? ["run", "instructions (" + s.counter + ")"] : ["run"]).concat(
      ["ms" + native, "MiB" + native, "ended"]).forEach((h) => add(head, "th", h));
    const body = add(table, "tbody");
    s.rounds.forEach((r) => {
      const row = add(body, "tr", undefined, r.failed ? "failed" : "");
      (s.counter ? [r.run, r.instructions] : [r.run]).concat([r.ms, r.mib, r.failed || "reported"]).forEach(
        (v) => add(row, "td", shown(v)));
    });
    if (s.timeline) {
      add(article, "h4", "Time per program" + native);
      add(article, "p", "The median over the runs with their p10 to p90 band; each run is a line of its own: click " +
          "it in the legend to show it. Drag across the chart to zoom, double-click to zoom out. No point is left " +
          "out.", "hint");
      canvas(article, "time-" + i);
      add(article, "h4", "Memory per program" + native);
      canvas(article, "memory-" + i, true);
    } else {
      add(article, "p", "No per-program timeline in these runs (recorded with --no-timeline, or none reported): " +
          "totals only.", "hint");
    }
    if (s.calls && s.calls.series) {
      add(article, "h4", "Time per call, from the replay");
      add(article, "p", "One extra run recorded with apitrace and replayed with glretrace --pcpu: a second " +
          "execution, not the timed runs. Stacked, so that the top edge is the program's time in GL calls.", "hint");
      canvas(article, "calls-" + i);
    } else if (s.calls) {
      add(article, "p", "No per-call figures: " + s.calls.failure, "failed");
    }
    article.classList.remove("pending");
  }

  function sectionCharts(i) {
    const s = data.sections[i];
    sectionBody(i, s);
    roundsChart(i, s);
    if (s.timeline) {
      timeChart(i, s);
      memoryChart(i, s);
    }
    if (s.calls && s.calls.series) callsChart(i, s);
  }
  // A corpus's page has a section for every pair and configuration, some 15 ms of drawing each: the first
  // EAGER are made and drawn at once, the others as they come near the view, so that thousands paint at once.
  const EAGER = 20;
  const near = new IntersectionObserver((entries) => entries.forEach((entry) => {
    if (!entry.isIntersecting) return;
    near.unobserve(entry.target);
    sectionCharts(Number(entry.target.id.slice("section-".length)));
  }), {rootMargin: "1500px 0px"});
  data.sections.forEach((s, i) => (i < EAGER ? sectionCharts(i) : near.observe(document.getElementById("section-" + i))));
  sortable(document.getElementById("results-table"));
  window.shaderbench.drawnMs = performance.now();  // since the navigation began
  window.shaderbench.drawn = true;
  // A task queued from the next frame's callback runs once that frame is painted.
  requestAnimationFrame(() => setTimeout(() => { window.shaderbench.paintedMs = performance.now(); }));
})();
