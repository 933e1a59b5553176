// Draws the collector's report from the data inlined in the page; never fetches anything.
(function () {
  "use strict";
  const started = performance.now();
  const data = JSON.parse(document.getElementById("qx-data").textContent);
  // Timeline items are compact arrays: their fields and flag bits come by name with the data.
  const field = Object.fromEntries(data.shape.item.map((name, i) => [name, i]));
  const flag = data.shape.flags;
  const PAGE_SIZE = 100;

  function micros(us) {
    if (us >= 1e6) return (us / 1e6).toFixed(2) + " s";
    if (us >= 1e3) return (us / 1e3).toFixed(2) + " ms";
    return us.toFixed(us < 10 ? 1 : 0) + " µs";
  }
  function el(tag, attrs, text) {
    const e = document.createElement(tag);
    for (const k in attrs || {}) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function card(parent, label, value) {
    const c = el("div", { class: "card" });
    c.appendChild(el("div", { class: "label" }, label));
    c.appendChild(el("div", { class: "value" }, value));
    parent.appendChild(c);
  }
  // Rows page instead of rendering thousands at once: previous and next over PAGE_SIZE rows.
  function pager(box, onPage) {
    let page = 0;
    const prev = el("button", { type: "button", class: "prev" }, "‹ previous");
    const next = el("button", { type: "button", class: "next" }, "next ›");
    const range = el("span", { class: "range" });
    box.append(prev, range, next);
    prev.addEventListener("click", () => { page--; onPage(); });
    next.addEventListener("click", () => { page++; onPage(); });
    return {
      reset() { page = 0; },
      slice(rows) {
        page = Math.min(Math.max(0, page), Math.max(0, Math.ceil(rows.length / PAGE_SIZE) - 1));
        const from = page * PAGE_SIZE, to = Math.min(rows.length, from + PAGE_SIZE);
        range.textContent = rows.length ? (from + 1) + "–" + to + " of " + rows.length.toLocaleString("en") : "";
        prev.disabled = page === 0;
        next.disabled = to >= rows.length;
        box.hidden = rows.length <= PAGE_SIZE;
        return rows.slice(from, to);
      },
    };
  }

  // --- summary ---
  function summary() {
    const s = data.summary;
    const body = document.getElementById("summary-body");
    const cards = el("div", { class: "cards" });
    const processes = s.processes.map((p) => p.label).join(", ") || "none seen";
    card(cards, "processes", processes);
    const runtime = s.processes.map((p) => p.runtime).filter((r) => r).join(", ");
    card(cards, "runtime", runtime || "?");
    card(cards, "run time", micros(Math.max(0, ...s.processes.map((p) => p.micros), 0)));
    card(cards, "commands", s.commands.toLocaleString("en"));
    card(cards, "calls", data.timeline.calls.toLocaleString("en"));
    card(cards, "requests", (data.requests || []).length.toLocaleString("en"));
    card(cards, "exceptions", data.exceptionCount.toLocaleString("en"));
    card(cards, "collector listened", s.seconds.toFixed(1) + " s");
    body.appendChild(cards);

    const drops = el("div", { class: "drops " + (s.drops.length ? "some" : "none") });
    if (s.drops.length === 0) {
      drops.textContent = "Nothing was dropped or left out on the way.";
    } else {
      drops.appendChild(el("strong", {}, "Dropped or left out:"));
      const list = el("ul");
      s.drops.forEach((line) => list.appendChild(el("li", {}, line)));
      drops.appendChild(list);
    }
    body.appendChild(drops);

    const table = el("table", { id: "process-table" });
    const head = el("tr");
    ["process", "runtime", "host", "agent", "state", "commands", "time seen"].forEach((h) => head.appendChild(el("th", {}, h)));
    table.appendChild(head);
    s.processes.forEach((p) => {
      const tr = el("tr");
      [p.label, p.runtime || "?", p.host || "?", p.agent || "?", p.ended ? "ended" : "running at stop",
        p.commands.toLocaleString("en"), micros(p.micros)].forEach((v) => tr.appendChild(el("td", {}, v)));
      table.appendChild(tr);
    });
    body.appendChild(table);
    const types = Object.entries(s.byType).map(([k, v]) => k + " " + v.toLocaleString("en")).join(", ");
    body.appendChild(el("p", { class: "hint" }, "Commands by type: " + (types || "none")));
    const details = el("details");
    details.appendChild(el("summary", {}, "Collector summary"));
    details.appendChild(el("pre", {}, s.text));
    body.appendChild(details);
  }

  // --- flame graph ---
  let chart = null;
  function flame() {
    const box = document.getElementById("flame-chart");
    const note = document.getElementById("flame-note");
    if (data.flameShown < data.flameNodes) {
      note.textContent = data.flameShown + " of " + data.flameNodes +
        " stacks shown (the largest); the time of the others stays with their callers.";
    }
    if (!data.flame.children.length) {
      box.textContent = "No calls were recorded.";
      return;
    }
    const width = Math.max(600, box.clientWidth || 1000);
    chart = flamegraph.default()
      .width(width)
      .cellHeight(18)
      .transitionDuration(250)
      .minFrameSize(1)
      .sort(true)
      .label((d) => d.data.n + " — " + micros(d.data.v) + (d.data.calls ? ", " + d.data.calls.toLocaleString("en") + " calls" : ""));
    d3.select(box).datum(data.flame).call(chart);
    const search = document.getElementById("flame-search");
    search.addEventListener("input", () => (search.value ? chart.search(search.value) : chart.clear()));
    document.getElementById("flame-reset").addEventListener("click", () => chart.resetZoom());
  }

  // --- timeline ---
  function timeline() {
    const t = data.timeline;
    const note = document.getElementById("timeline-note");
    note.textContent = t.shown < t.calls
      ? "The " + t.shown.toLocaleString("en") + " longest of " + t.calls.toLocaleString("en") +
        " calls are shown (each at least " + micros(t.shortestShownMicros) + "); " +
        (t.calls - t.shown).toLocaleString("en") + " shorter calls are left out."
      : "All " + t.calls.toLocaleString("en") + " calls are shown.";
    const box = document.getElementById("timeline-chart");
    if (!t.threads.length) {
      box.textContent = "No calls were recorded.";
      return;
    }
    const width = Math.max(600, box.clientWidth || 1000);
    const row = 16, laneGap = 26, labelWidth = 0;
    let start = Infinity, end = -Infinity, y = 0;
    const lanes = t.threads.map((th) => {
      let depth = 0;
      th.items.forEach((c) => {
        start = Math.min(start, c[field.begin]);
        end = Math.max(end, c[field.begin] + c[field.length]);
        depth = Math.max(depth, c[field.depth] + 1);
      });
      const lane = { label: th.label, calls: th.calls, items: th.items, y: y + laneGap, depth: depth };
      y += laneGap + depth * row + 6;
      return lane;
    });
    if (end <= start) end = start + 1;
    const x0 = d3.scaleLinear().domain([start, end]).range([labelWidth, width]);
    let x = x0;
    const svg = d3.select(box).append("svg").attr("width", width).attr("height", y + 24);
    const color = d3.scaleOrdinal(d3.schemeTableau10);
    const detail = document.getElementById("timeline-detail");
    const axis = svg.append("g").attr("transform", "translate(0," + (y + 4) + ")");
    const groups = svg.selectAll("g.lane").data(lanes).enter().append("g").attr("class", "lane");
    groups.append("text").attr("class", "lane-label").attr("x", 4).attr("y", (l) => l.y - 8)
      .text((l) => l.label + " — " + l.calls.toLocaleString("en") + " calls");
    const items = groups.selectAll("g.item").data((l) => l.items.map((c) => ({ lane: l, c: c })))
      .enter().append("g").attr("class", "item");
    items.append("rect")
      .attr("class", (d) => "call" + (d.c[field.flags] & (flag.openAtEnd | flag.noEndSeen) ? " marked" : ""))
      .attr("height", row - 1)
      .attr("y", (d) => d.lane.y + d.c[field.depth] * row)
      .attr("fill", (d) => color(t.frames[d.c[field.frame]].split("::")[0]))
      .on("click", (event, d) => {
        const c = d.c, flags = [];
        if (c[field.flags] & flag.unwound) flags.push("unwound by an exception");
        if (c[field.flags] & flag.tailCall) flags.push("tail call");
        if (c[field.flags] & flag.openAtEnd) flags.push("still open when the process ended: closed there");
        if (c[field.flags] & flag.noEndSeen) flags.push("its end was not seen");
        detail.textContent = t.frames[c[field.frame]] + "  " + micros(c[field.length]) + " from " + micros(c[field.begin]) +
          (c[field.args] ? "\n  arguments: " + c[field.args] : "") + (c[field.returnValue] ? "\n  returned: " + c[field.returnValue] : "") +
          (flags.length ? "\n  " + flags.join(", ") : "");
      })
      .append("title").text((d) => t.frames[d.c[field.frame]] + " — " + micros(d.c[field.length]));
    items.append("text").attr("y", (d) => d.lane.y + d.c[field.depth] * row + 11);
    function draw() {
      items.select("rect").attr("x", (d) => x(d.c[field.begin])).attr("width", (d) => Math.max(1, x(d.c[field.begin] + d.c[field.length]) - x(d.c[field.begin])));
      items.select("text").attr("x", (d) => x(d.c[field.begin]) + 3).text((d) => {
        const w = x(d.c[field.begin] + d.c[field.length]) - x(d.c[field.begin]);
        const name = t.frames[d.c[field.frame]];
        if (w < 40) return "";
        const fit = Math.floor((w - 6) / 6.5);
        return name.length <= fit ? name : name.slice(0, Math.max(0, fit - 1)) + "…";
      });
      axis.call(d3.axisBottom(x).ticks(8).tickFormat((v) => micros(v)));
    }
    svg.call(d3.zoom().scaleExtent([1, 1e6]).translateExtent([[0, 0], [width, y]]).on("zoom", (event) => {
      x = event.transform.rescaleX(x0);
      draw();
    }));
    draw();
  }

  // --- captured calls ---
  // Async plumbing: the tasks, awaiters and state machines of the runtime, whose captured values
  // are only addresses, ids and states.
  function isPlumbing(fn) {
    return fn.startsWith("System.Threading.") || fn.startsWith("System.Runtime.CompilerServices.");
  }
  function capturedRow(r) {
    const tr = el("tr", isPlumbing(r.function) ? { class: "plumbing" } : {});
    tr.appendChild(el("td", {}, r.kind));
    tr.appendChild(el("td", {}, r.function));
    tr.appendChild(el("td", { class: "value" }, r.values));
    tr.appendChild(el("td", { class: "value" }, r.returnValue));
    tr.appendChild(el("td", { class: "num" }, r.count.toLocaleString("en")));
    tr.appendChild(el("td", { class: "num" }, micros(r.totalMicros)));
    tr.appendChild(el("td", { class: "num" }, micros(r.maxMicros)));
    return tr;
  }
  function captured() {
    const rows = data.captured;
    const kind = document.getElementById("captured-kind");
    [...new Set(rows.map((r) => r.kind))].sort().forEach((k) => kind.appendChild(el("option", { value: k }, k)));
    const search = document.getElementById("captured-search");
    const plumbing = document.getElementById("captured-plumbing");
    const plumbingRows = rows.filter((r) => isPlumbing(r.function)).length;
    document.getElementById("captured-plumbing-label").textContent = "show async plumbing (" + plumbingRows + " rows)";
    const body = document.querySelector("#captured-table tbody");
    const note = document.getElementById("captured-note");
    const pages = pager(document.getElementById("captured-pager"), render);
    function render() {
      const q = search.value.toLowerCase();
      let hidden = 0;
      const shown = rows.filter((r) => {
        if (kind.value && r.kind !== kind.value) return false;
        if (q && !(r.function + " " + r.values + " " + r.returnValue).toLowerCase().includes(q)) return false;
        if (!plumbing.checked && isPlumbing(r.function)) {
          hidden++;
          return false;
        }
        return true;
      });
      const fragment = document.createDocumentFragment();
      pages.slice(shown).forEach((r) => fragment.appendChild(capturedRow(r)));
      body.textContent = "";
      body.appendChild(fragment);
      note.textContent = shown.length + " of " + rows.length + " rows" +
        (hidden ? "; " + hidden + " rows of async plumbing collapsed" : "") +
        (data.capturedLeftOut ? "; " + data.capturedLeftOut.toLocaleString("en") + " calls with other values left out" : "");
    }
    const again = () => { pages.reset(); render(); };
    kind.addEventListener("change", again);
    search.addEventListener("input", again);
    plumbing.addEventListener("change", again);
    render();
  }

  // --- exceptions ---
  function pidOf(label) {
    const m = /pid (\d+)/.exec(label || "");
    return m ? m[1] : "";
  }
  function hexId(id) {
    try { return "0x" + BigInt(id).toString(16); } catch (e) { return String(id); }
  }
  // One row per exception object: its throw and rethrows are the same id in the same process.
  function exceptionGroups() {
    const groups = new Map();
    data.exceptions.forEach((x) => {
      const key = pidOf(x.process || x.thread) + ":" + x.id;
      let g = groups.get(key);
      if (!g) groups.set(key, (g = { key, first: x, throws: 0, unwound: 0 }));
      g.throws++;
      g.unwound += x.unwound;
      // What the exceptions data knows itself comes first; the requests fill in the rest.
      for (const k of ["type", "message", "caughtBy"]) {
        if (g[k] == null && x[k] != null) g[k] = x[k];
      }
    });
    return [...groups.values()];
  }
  function exceptions(openRequest) {
    const fromRequests = new Map();
    (data.requests || []).forEach((r, i) => r.exceptions.forEach((e) => fromRequests.set(r.pid + ":" + hexId(e.id), { r, i, e })));
    const body = document.querySelector("#exceptions-table tbody");
    const groups = exceptionGroups();
    groups.forEach((g) => {
      const hit = fromRequests.get(g.key);
      const e = hit ? hit.e : {};
      const caught = g.caughtBy || e.caughtBy || (e.leftRequest ? "left the request" : "");
      const tr = el("tr");
      tr.appendChild(el("td", { class: "num" }, micros(g.first.at)));
      tr.appendChild(el("td", {}, g.first.thread));
      tr.appendChild(el("td", { class: "value" }, (g.type || e.type || "") + (g.type || e.type ? " " : "") + g.first.id));
      tr.appendChild(el("td", {}, g.message != null ? g.message : e.message != null ? e.message : ""));
      tr.appendChild(el("td", {}, g.first.raisedIn || "?"));
      tr.appendChild(el("td", { class: "num" }, String(g.throws)));
      tr.appendChild(el("td", {}, caught));
      tr.appendChild(el("td", { class: "num" }, String(g.unwound)));
      const where = el("td");
      if (hit) {
        const what = [hit.r.method, (hit.r.path || hit.r.name || "") + (hit.r.query || "")].filter(Boolean).join(" ");
        const link = el("button", { type: "button", class: "link" }, "#" + hit.r.id + " " + what);
        link.addEventListener("click", () => openRequest(hit.i));
        where.appendChild(link);
      }
      tr.appendChild(where);
      body.appendChild(tr);
    });
    const n = data.exceptionCount, listed = data.exceptions.length;
    document.getElementById("exceptions-note").textContent = n === 0 ? "No exception was raised." :
      groups.length + (groups.length === 1 ? " exception" : " exceptions") +
      (n > groups.length ? " (" + n + " throws, rethrows included)" : "") +
      (listed < n ? "; the first " + listed + " throws are listed." : ".");
  }

  // --- live: the page polls the collector for requests as they end ---
  function live(requests) {
    const cfg = data.live;
    const banner = document.getElementById("live-banner");
    banner.hidden = false;
    ["summary", "flame", "timeline", "captured", "exceptions"].forEach((id) => {
      document.getElementById(id).hidden = true;
      const link = document.querySelector("nav a[href='#" + id + "']");
      if (link) link.hidden = true;
    });
    const rest = " The summary, flame graph, timeline, captured calls and exceptions come in the report (--report) " +
      "when the run ends.";
    let since = 0, busy = false, statusAt = 0;
    async function poll() {
      if (busy) return;
      busy = true;
      try {
        const res = await fetch(cfg.requests + "?since=" + since, { cache: "no-store" });
        if (!res.ok) throw new Error(String(res.status));
        const rows = await res.json();
        since = Number(res.headers.get("X-Quorix-Last")) || since;
        requests.add(rows, Number(res.headers.get("X-Quorix-Let-Go")) || 0);
        banner.classList.remove("stale");
        banner.textContent = "Live: " + requests.count.toLocaleString("en") + " requests so far, updated " +
          new Date().toLocaleTimeString("en-GB") + "." + rest;
        document.body.setAttribute("data-live-requests", String(requests.count));
        if (Date.now() - statusAt > 2000) {
          statusAt = Date.now();
          const st = await (await fetch(cfg.status, { cache: "no-store" })).json();
          if (st.comparison) window.QxCompare.show(st.comparison, { el, micros });
        }
      } catch (e) {
        banner.classList.add("stale");
        banner.textContent = "Live: the collector does not answer (the run may have ended); the rows shown stay.";
      } finally {
        busy = false;
      }
    }
    poll();
    setInterval(poll, cfg.pollMs);
  }

  const requests = window.QxRequests.mount(data, { el, micros, pager });
  window.QxCompare.show(data.comparison, { el, micros });
  if (data.live) {
    live(requests);
  } else {
    summary();
    flame();
    timeline();
    captured();
    exceptions(requests.open);
  }
  document.body.setAttribute("data-render-ms", String(Math.round(performance.now() - started)));
  document.body.setAttribute("data-ready", "1");
})();
