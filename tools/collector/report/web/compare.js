// The comparison with an earlier run: per endpoint (the --requests file of that run), or as a
// differential flame graph (its --folded file). report.js shows it with the page's helpers; the
// live page shows it again whenever the collector sends a newer one.
(function () {
  "use strict";
  let el, micros, flameChart = null;

  function ms(v) { return micros((v || 0) * 1000); }
  function change(before, now, unit) {
    if (before == null || now == null) return "";
    const d = now - before;
    const pct = before > 0 ? " (" + (d >= 0 ? "+" : "") + Math.round((100 * d) / before) + "%)" : "";
    return (d >= 0 ? "+" : "−") + (unit === "ms" ? ms(Math.abs(d)) : Math.abs(d).toFixed(1)) + pct;
  }
  function pair(before, now, fmt) {
    return (before == null ? "—" : fmt(before)) + " → " + (now == null ? "—" : fmt(now));
  }
  function td(text, cls) { return el("td", cls ? { class: cls } : {}, text); }
  function tag(text, cls, title) {
    const t = el("span", { class: "tag " + cls }, text);
    if (title) t.title = title;
    return t;
  }

  function endpoints(c, box) {
    const table = document.getElementById("compare-table");
    table.hidden = false;
    document.getElementById("compare-rule").textContent = c.rule;
    const both = c.endpoints.filter((e) => e.before && e.now).length;
    box.note.textContent = "Against " + c.file + ": " + both + " endpoints in both runs, " + c.regressions +
      (c.regressions === 1 ? " regression." : " regressions.");
    const body = table.querySelector("tbody");
    const fragment = document.createDocumentFragment();
    c.endpoints.forEach((e) => {
      const b = e.before || {}, n = e.now || {};
      const tr = el("tr", { class: "endpoint" + (e.regression ? " regression" : "") });
      tr.setAttribute("data-endpoint", e.endpoint);
      const p95 = td(pair(e.before && b.p95, e.now && n.p95, ms) + "  " + change(e.before && b.p95, e.now && n.p95, "ms"), "num");
      if (e.before && e.now) p95.classList.add(n.p95 > b.p95 ? "up" : n.p95 < b.p95 ? "down" : "same");
      tr.append(td(e.endpoint, "path"),
        td(pair(e.before && b.count, e.now && n.count, (v) => v.toLocaleString("en")), "num"),
        td(pair(e.before && b.p50, e.now && n.p50, ms) + "  " + change(e.before && b.p50, e.now && n.p50, "ms"), "num"),
        p95,
        td(pair(e.before && b.sqlPerRequest, e.now && n.sqlPerRequest, (v) => v.toFixed(1)) + "  " +
          change(e.before && b.sqlPerRequest, e.now && n.sqlPerRequest, ""), "num"));
      const mark = el("td", { class: "tags" });
      if (e.regression) mark.appendChild(tag("regression", "regression", e.why.join("; ")));
      if (e.regression) mark.appendChild(el("span", { class: "note" }, " " + e.why.join("; ")));
      if (!e.before) mark.appendChild(tag("new", "new", "not seen in the earlier run"));
      if (!e.now) mark.appendChild(tag("gone", "gone", "not seen in this run"));
      tr.appendChild(mark);
      fragment.appendChild(tr);
    });
    body.textContent = "";
    body.appendChild(fragment);
  }

  function flame(c, box) {
    document.getElementById("compare-rule").textContent =
      "Red: more time in a frame itself than in the earlier run; blue: less. A frame is as wide as the larger of " +
      "its two times (all threads); the colour's depth is the change's share of it.";
    box.note.textContent = "Against " + c.file + ": " + micros(c.beforeMicros) + " before, " + micros(c.nowMicros) +
      " now, over all stacks.";
    const chart = document.getElementById("compare-flame");
    if (!c.flame.children.length) {
      chart.textContent = "Neither run has any calls.";
      return;
    }
    const width = Math.max(600, chart.clientWidth || 1000);
    flameChart = flamegraph.default()
      .width(width)
      .cellHeight(18)
      .transitionDuration(250)
      .minFrameSize(1)
      .sort(true)
      .computeDelta(true)
      .setColorMapper(flamegraph.colorMapper.differentialColorMapper)
      .label((d) => d.data.n + " — now " + micros(d.data.now) + ", before " + micros(d.data.before) + " (" +
        (d.data.now >= d.data.before ? "+" : "−") + micros(Math.abs(d.data.now - d.data.before)) + ")");
    d3.select(chart).datum(c.flame).call(flameChart);
  }

  function show(comparison, tools) {
    ({ el, micros } = tools);
    if (!comparison) return;
    document.getElementById("compare").hidden = false;
    document.getElementById("compare-link").hidden = false;
    const box = { note: document.getElementById("compare-note") };
    if (comparison.kind === "folded") {
      if (!flameChart) flame(comparison, box);
    } else {
      endpoints(comparison, box);
    }
  }

  window.QxCompare = { show };
})();
