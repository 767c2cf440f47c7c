// Draws the trend page's charts from the data inlined beside this script.
// window.shaderbench keeps them for whoever wants to look (the tests do).
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("data").textContent);
  const charts = [];
  window.shaderbench = { charts: charts, data: data, drawn: false, drawnAt: null, drawAll: drawAll };
  Chart.defaults.animation = false;
  Chart.defaults.maintainAspectRatio = false;
  Chart.defaults.font.size = 12;
  const xy = (values) => values.map((y, x) => ({ x: x, y: y }));

  // A chart is made when it comes near the window, so that a page of many
  // series opens as fast as one of a few; drawAll makes the rest (to print).
  function draw(i) {
    if (charts[i]) return;
    const s = data.series[i];
    const steps = [];
    s.steps.forEach(([first, end, mean]) => {
      steps.push({ x: first - 0.5, y: mean }, { x: end - 0.5, y: mean }, { x: end - 0.5, y: null });
    });
    const at = (x) => { const f = s.steps.find(([a, b]) => a <= x && x < b); return f ? f[2] : null; };
    charts[i] = new Chart(document.getElementById("series-" + i), {
      type: "line",
      data: { datasets: [
        { label: "runs", data: s.runs.map(([x, y]) => ({ x: x, y: y })), showLine: false, pointRadius: 1.5,
          backgroundColor: "rgba(72,120,168,0.25)", borderColor: "rgba(0,0,0,0)" },
        { label: "interval", data: xy(s.high), pointRadius: 0, borderWidth: 0, fill: "+1",
          backgroundColor: "rgba(72,120,168,0.15)" },
        { label: "interval low", data: xy(s.low), pointRadius: 0, borderWidth: 0, fill: false },
        { label: "median", data: xy(s.median), pointRadius: 1.5, borderColor: "#4878a8", borderWidth: 1.5 },
        { label: "mean between changes", data: steps, pointRadius: 0, borderColor: "#e0913a", borderWidth: 2,
          spanGaps: false },
        { label: "change", data: s.changes.map((c) => ({ x: c.x, y: at(c.x), id: c.id, status: c.status,
                                                         change: c.change_pct })),
          showLine: false, pointStyle: "triangle", pointRadius: 8, backgroundColor: "#b85450" },
      ] },
      options: {
        parsing: false, normalized: true,
        scales: {
          x: { type: "linear", min: -0.5, max: s.labels.length - 0.5,
               ticks: { autoSkip: true, maxRotation: 60, precision: 0, maxTicksLimit: 25,
                        callback: (v) => (Number.isInteger(v) && s.labels[v] !== undefined ? s.labels[v] : "") } },
          y: { title: { display: true, text: s.unit } },
        },
        plugins: {
          legend: { labels: { filter: (item) => item.text !== "interval low" } },
          tooltip: { callbacks: {
            title: (items) => s.labels[Math.round(items[0].parsed.x)],
            label: (item) => (item.raw.id !== undefined
              ? "change #" + item.raw.id + " " + item.raw.change.toFixed(1) + " % (" + item.raw.status + ")"
              : item.dataset.label + " " + (item.parsed.y === null ? "-" : item.parsed.y.toFixed(1))),
          } },
        },
      },
    });
  }

  function drawAll() { data.series.forEach((s, i) => draw(i)); }

  const observer = new IntersectionObserver((entries) => {
    entries.forEach((e) => { if (e.isIntersecting) draw(Number(e.target.id.slice("series-".length))); });
    // Chart.js draws as each chart is made (no animation): what is in view is painted now.
    if (!window.shaderbench.drawn) {
      window.shaderbench.drawn = true;
      window.shaderbench.drawnAt = performance.now();
    }
  }, { rootMargin: "300px" });
  data.series.forEach((s, i) => observer.observe(document.getElementById("series-" + i)));
  if (!data.series.length) window.shaderbench.drawn = true;
})();
