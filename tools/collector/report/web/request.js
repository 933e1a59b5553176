// One request opened: its calls on every thread on one time axis, its statements with their
// parameters and copy-ready form, its outgoing HTTP and Redis calls, its exceptions and findings.
(function () {
  "use strict";
  let el, micros, tag, ms, noteOf;

  function part(id, title) {
    const wrap = el("div", { class: "req-part", id: id });
    wrap.appendChild(el("h4", {}, title));
    return wrap;
  }
  function table(headers, rows) {
    const t = el("table", { class: "small" });
    const head = el("tr");
    headers.forEach((h) => head.appendChild(el("th", h.endsWith(" ") ? { class: "num" } : {}, h.trim())));
    t.appendChild(head);
    rows.forEach((cells) => {
      const tr = el("tr");
      cells.forEach((c) => tr.appendChild(c instanceof Node ? c : el("td", {}, c === undefined || c === null ? "" : String(c))));
      t.appendChild(tr);
    });
    return t;
  }
  function num(text) { return el("td", { class: "num" }, text); }
  function hexId(id) {
    try { return "0x" + BigInt(id).toString(16); } catch (e) { return String(id); }
  }

  // --- findings: the statement a note speaks of ---
  function skipQuoted(text, i) {
    const q = text[i];
    for (i++; i < text.length; i++) {
      if (text[i] === q) {
        if (text[i + 1] === q) { i++; continue; }
        return i + 1;
      }
    }
    return i;
  }
  // The statement's shape as the collector names it in its notes: literals and parameters as "?",
  // lower case, blanks folded, a list of values as one.
  function sqlShape(text) {
    const word = (c) => c !== undefined && /[A-Za-z0-9_]/.test(c);
    let out = "";
    const place = () => {
      const last = out[out.length - 1];
      if (out && last !== " " && last !== "(" && word(last)) out += " ";
      out += "?";
    };
    for (let i = 0; i < text.length;) {
      const c = text[i];
      if (c === "'") {
        i = skipQuoted(text, i);
        place();
      } else if ((c === "@" || c === ":" || c === "$") && word(text[i + 1]) && !(c === ":" && text[i - 1] === ":")) {
        for (i++; i < text.length && word(text[i]); i++);
        place();
      } else if (/[0-9]/.test(c) && !word(out[out.length - 1])) {
        while (i < text.length && (word(text[i]) || text[i] === ".")) i++;
        place();
      } else if (/\s/.test(c)) {
        if (out && out[out.length - 1] !== " ") out += " ";
        i++;
      } else {
        out += c.toLowerCase();
        i++;
      }
    }
    return out.replace(/[ ;]+$/, "").replace(/\?(?: *, *\?)+/g, "?");
  }
  function cut(text, n) {
    const s = text.slice(0, n).replace(/[\n\r\t]/g, " ");
    return text.length > n ? s + "..." : s;
  }
  function statementNote(r, s, finding) {
    const notes = r.notes.filter((n) => n.finding === finding);
    if (notes.length <= 1) return notes.length ? notes[0].text : "";
    const tail = ": " + cut(finding === "n_plus_one" ? sqlShape(s.text) : s.text, 120);
    return (notes.find((n) => n.text.endsWith(tail)) || notes[0]).text;
  }

  // --- head and findings ---
  function head(r, close) {
    const box = el("div", { class: "req-head" });
    const title = el("h3", {}, (r.method ? r.method + " " : "") + (r.path || r.name || "?") + (r.query || ""));
    box.appendChild(title);
    const facts = el("div", { class: "req-facts" });
    if (r.status) facts.appendChild(tag(String(r.status), "status s" + Math.floor(r.status / 100) + "xx"));
    facts.appendChild(el("strong", {}, ms(r.durationMs)));
    if (!r.complete) facts.appendChild(tag("cut short", "cut", "collection ended before it did, or it never settled"));
    const threads = r.threads.length;
    facts.appendChild(el("span", { class: "dim" }, "request #" + r.id + " · " + r.endpoint + " · started " +
      (r.start || "?") + " · pid " + r.pid + " · " + threads + (threads === 1 ? " thread" : " threads") +
      (r.continuations ? ", " + r.continuations + " continuations" : "") + (r.host ? " · host " + r.host : "") +
      " · trace " + r.traceId));
    box.appendChild(facts);
    const button = el("button", { type: "button", class: "close" }, "close ✕");
    button.addEventListener("click", close);
    box.appendChild(button);
    return box;
  }
  function findings(r) {
    const wrap = part("request-findings", "Findings");
    if (!r.notes.length) {
      wrap.appendChild(el("p", { class: "hint" }, "None."));
      return wrap;
    }
    const list = el("ul", { class: "notes" });
    r.notes.forEach((n) => {
      const li = el("li");
      li.append(tag(n.finding, "f-" + n.finding), el("span", { class: "note" }, " " + n.text));
      list.appendChild(li);
    });
    wrap.appendChild(list);
    return wrap;
  }

  // --- timeline: one lane group per thread, one time axis ---
  function itemsOn(r, tid) {
    const items = [];
    r.sql.forEach((s, k) => { if (s.tid === tid) items.push({ kind: "sql", at: s.atMs, dur: s.durationMs, failed: s.failed, title: "SQL " + (k + 1) + ": " + cut(s.text, 200) }); });
    r.http.forEach((h) => { if (h.tid === tid) items.push({ kind: "http", at: h.atMs, dur: h.durationMs, failed: h.failed, title: "HTTP " + (h.method || "") + " " + h.url }); });
    r.redis.forEach((c) => { if (c.tid === tid) items.push({ kind: "redis", at: c.atMs, dur: c.durationMs, failed: c.failed, title: "Redis " + c.command + " " + c.key }); });
    r.exceptions.forEach((e) => { if (e.tid === tid) items.push({ kind: "exception", at: e.atMs, dur: 0, failed: true, title: "exception " + (e.type || hexId(e.id)) + (e.thrownIn ? " thrown in " + e.thrownIn : "") }); });
    return items;
  }
  function lanes(r) {
    const tids = [...r.threads], seen = new Set(tids);
    const add = (t) => { if (!seen.has(t)) { seen.add(t); tids.push(t); } };
    [r.calls, r.sql, r.http, r.redis, r.exceptions].forEach((list) => list.forEach((x) => add(x.tid)));
    const row = 15, band = 9, gap = 22;
    let y = 0, end = r.durationMs;
    const out = tids.map((tid, k) => {
      const calls = r.calls.filter((c) => c.tid === tid);
      const items = itemsOn(r, tid);
      // Only the nesting levels in use get a row: a continuation deep in the server's frames
      // would otherwise leave a tall empty lane.
      const levels = [...new Set(calls.map((c) => c.depth))].sort((a, b) => a - b);
      const rowOf = new Map(levels.map((d, i) => [d, i]));
      calls.forEach((c) => { end = Math.max(end, c.atMs + c.durationMs); });
      items.forEach((i) => { end = Math.max(end, i.at + i.dur); });
      const lane = { tid, calls, items, rowOf, y: y + gap, first: k === 0 };
      lane.callsY = lane.y + band + 2;
      y = lane.callsY + levels.length * row + 4;
      return lane;
    });
    return { lanes: out, height: y, end: end > 0 ? end : 1, row, band };
  }
  function drawLanes(svg, layout, color, info) {
    const groups = svg.selectAll("g.lane").data(layout.lanes).enter().append("g").attr("class", "lane");
    groups.append("text").attr("class", "lane-label").attr("x", 4).attr("y", (l) => l.y - 6)
      .text((l) => "thread " + l.tid + (l.first ? " (where it began)" : "") + " — " + l.calls.length + " calls");
    const calls = groups.selectAll("g.call").data((l) => l.calls.map((c) => ({ l, c }))).enter().append("g").attr("class", "call");
    calls.append("rect").attr("class", (d) => "call" + (d.c.unwound ? " unwound" : "")).attr("height", layout.row - 1)
      .attr("y", (d) => d.l.callsY + d.l.rowOf.get(d.c.depth) * layout.row).attr("fill", (d) => color(d.c.name.split("::")[0]))
      .on("click", (event, d) => {
        info.textContent = d.c.name + "  " + ms(d.c.durationMs) + " from " + ms(d.c.atMs) + " on thread " + d.c.tid +
          (d.c.unwound ? ", left by an exception" : "");
      })
      .append("title").text((d) => d.c.name + " — " + ms(d.c.durationMs) + " at " + ms(d.c.atMs));
    calls.append("text").attr("y", (d) => d.l.callsY + d.l.rowOf.get(d.c.depth) * layout.row + 11);
    const items = groups.selectAll("rect.item").data((l) => l.items.map((i) => ({ l, i }))).enter().append("rect")
      .attr("class", (d) => "item " + d.i.kind + (d.i.failed ? " failed" : "")).attr("y", (d) => d.l.y).attr("height", layout.band);
    items.append("title").text((d) => d.i.title + " — " + ms(d.i.dur) + " at " + ms(d.i.at));
    return { calls, items };
  }
  function timeline(r, width) {
    const wrap = part("request-timeline", "Timeline");
    wrap.appendChild(el("p", { class: "hint" }, "Its calls per thread on one time axis: work continued on another thread " +
      "after an await lines up in time. Marks above the calls: SQL, HTTP, Redis, exceptions. Scroll to zoom, drag to pan."));
    if (!r.calls.length && !r.sql.length && !r.http.length && !r.redis.length) {
      wrap.appendChild(el("p", { class: "hint" }, "No calls were kept for this request."));
      return wrap;
    }
    const layout = lanes(r);
    const x0 = d3.scaleLinear().domain([0, layout.end]).range([0, width]);
    let x = x0;
    const chart = el("div", { class: "chart" });
    wrap.appendChild(chart);
    const info = el("div", { class: "detail" });
    wrap.appendChild(info);
    const svg = d3.select(chart).append("svg").attr("width", width).attr("height", layout.height + 24);
    const axis = svg.append("g").attr("transform", "translate(0," + (layout.height + 4) + ")");
    const drawn = drawLanes(svg, layout, d3.scaleOrdinal(d3.schemeTableau10), info);
    function draw() {
      const w = (at, dur) => Math.max(1, x(at + dur) - x(at));
      drawn.calls.select("rect").attr("x", (d) => x(d.c.atMs)).attr("width", (d) => w(d.c.atMs, d.c.durationMs));
      drawn.calls.select("text").attr("x", (d) => x(d.c.atMs) + 3).text((d) => {
        const fit = Math.floor((w(d.c.atMs, d.c.durationMs) - 6) / 6.5);
        if (fit < 5) return "";
        return d.c.name.length <= fit ? d.c.name : d.c.name.slice(0, fit - 1) + "…";
      });
      drawn.items.attr("x", (d) => x(d.i.at)).attr("width", (d) => Math.max(d.i.kind === "exception" ? 3 : 2, x(d.i.at + d.i.dur) - x(d.i.at)));
      axis.call(d3.axisBottom(x).ticks(8).tickFormat((v) => ms(v)));
    }
    svg.call(d3.zoom().scaleExtent([1, 1e6]).translateExtent([[0, 0], [width, layout.height]]).on("zoom", (event) => {
      x = event.transform.rescaleX(x0);
      draw();
    }));
    draw();
    return wrap;
  }

  // --- statements ---
  function copy(text, pre, button) {
    const select = () => {
      const range = document.createRange();
      range.selectNodeContents(pre);
      const selection = window.getSelection();
      selection.removeAllRanges();
      selection.addRange(range);
      button.textContent = "selected: copy with Ctrl+C";
    };
    if (navigator.clipboard && navigator.clipboard.writeText) {
      navigator.clipboard.writeText(text).then(() => { button.textContent = "copied"; }, select);
    } else {
      select();
    }
  }
  function copyable(text) {
    const wrap = el("div", { class: "copyable" });
    const line = el("div", { class: "dim" }, "with its parameters in place, to copy and run: ");
    const pre = el("pre", { class: "sql inlined" }, text);
    const button = el("button", { type: "button", class: "copy" }, "copy");
    button.addEventListener("click", () => copy(text, pre, button));
    line.appendChild(button);
    wrap.append(line, pre);
    return wrap;
  }
  function statement(r, s, k) {
    const b = el("div", { class: "stmt" + (s.failed ? " failed" : "") });
    const line = el("div", { class: "stmt-head" });
    line.append(el("span", { class: "n" }, (k + 1) + "."), el("strong", {}, ms(s.durationMs)),
      el("span", { class: "dim" }, "at " + ms(s.atMs) + " · " + [s.system, s.database, s.server].filter(Boolean).join(" · ")));
    if (s.failed) line.appendChild(tag("failed", "f-failed", "the execute call was left by an exception"));
    s.findings.forEach((f) => line.appendChild(tag(f, "f-" + f, statementNote(r, s, f))));
    b.appendChild(line);
    s.findings.forEach((f) => b.appendChild(el("div", { class: "note" }, f + ": " + statementNote(r, s, f))));
    b.appendChild(el("pre", { class: "sql" }, s.text));
    if (s.parameters.length) {
      const list = el("div", { class: "params" });
      s.parameters.forEach((p) => {
        const one = el("span", { class: "param" });
        one.append(el("span", { class: "pname" }, p.name + " = "), el("span", { class: "pvalue" }, p.value == null ? "NULL" : p.value));
        list.appendChild(one);
      });
      b.appendChild(list);
    }
    if (s.inlined) b.appendChild(copyable(s.inlined));
    b.appendChild(el("div", { class: "dim" }, s.call + " on thread " + s.tid));
    return b;
  }
  function statements(r) {
    const wrap = part("request-sql", "SQL statements: " + r.sql.length + (r.sql.length ? ", " + ms(r.sqlMs) : ""));
    r.sql.forEach((s, k) => wrap.appendChild(statement(r, s, k)));
    return wrap;
  }

  // --- outgoing calls and exceptions ---
  function failedCell(failed) {
    const td = el("td");
    if (failed) td.appendChild(tag("failed", "f-failed", "left by an exception"));
    return td;
  }
  function outgoing(r) {
    const box = el("div");
    const http = part("request-http", "Outgoing HTTP calls: " + r.http.length);
    if (r.http.length) {
      http.appendChild(table(["method", "URL", "status ", "duration ", "at ", "thread ", ""], r.http.map((h) =>
        [h.method || "?", el("td", { class: "value" }, h.url), num(h.status == null ? "—" : String(h.status)),
          num(ms(h.durationMs)), num(ms(h.atMs)), num(String(h.tid)), failedCell(h.failed)])));
    }
    const redis = part("request-redis", "Redis commands: " + r.redis.length);
    if (r.redis.length) {
      redis.appendChild(table(["command", "key", "duration ", "at ", "thread ", ""], r.redis.map((c) =>
        [c.command, el("td", { class: "value" }, c.key), num(ms(c.durationMs)), num(ms(c.atMs)), num(String(c.tid)),
          failedCell(c.failed)])));
    }
    box.append(http, redis);
    return box;
  }
  function exception(r, e) {
    const b = el("div", { class: "exc" });
    const line = el("div", { class: "stmt-head" });
    line.appendChild(el("strong", {}, e.type || "exception " + hexId(e.id) + " (type not reported)"));
    if (e.message != null) line.appendChild(el("span", { class: "message" }, ": " + e.message));
    if (e.leftRequest) {
      line.appendChild(tag("left the request", "f-failed", "nothing inside the request caught it"));
      if (r.findings.includes("failed")) line.appendChild(tag("failed", "f-failed", noteOf(r, "failed")));
    }
    b.appendChild(line);
    b.appendChild(el("div", {}, "thrown in " + (e.thrownIn || "?") + " at " + ms(e.atMs) + " on thread " + e.tid +
      (e.throws > 1 ? ", thrown " + e.throws + " times (rethrows)" : "") +
      (e.caughtBy ? "; caught by " + e.caughtBy : e.leftRequest ? "; nothing inside the request caught it" : "")));
    if (e.stack.length) {
      const d = el("details");
      d.appendChild(el("summary", {}, "stack at the throw (" + e.stack.length + " traced frames, innermost first)"));
      const list = el("ol", { class: "stack" });
      e.stack.slice().reverse().forEach((f) => list.appendChild(el("li", {}, f)));
      d.appendChild(list);
      b.appendChild(d);
    }
    return b;
  }
  function exceptions(r) {
    const wrap = part("request-exceptions", "Exceptions: " + r.exceptions.length);
    r.exceptions.forEach((e) => wrap.appendChild(exception(r, e)));
    return wrap;
  }
  function leftOut(r) {
    const parts = [];
    if (r.callsLeftOut) parts.push(r.callsLeftOut.toLocaleString("en") + " calls beyond the ones kept per request are not shown");
    if (r.itemsLeftOut) parts.push(r.itemsLeftOut.toLocaleString("en") + " statements, outgoing calls or exceptions beyond the bound are not shown");
    if (r.plumbingCalls) parts.push(r.plumbingCalls.toLocaleString("en") + " task and thread-pool bookkeeping calls are not drawn");
    return el("p", { class: "hint" }, parts.length ? parts.join("; ") + "." : "");
  }

  function show(box, r, tools) {
    ({ el, micros, tag, ms, noteOf } = tools);
    box.textContent = "";
    box.hidden = false;
    box.setAttribute("data-request", String(r.id));
    box.appendChild(head(r, () => { box.hidden = true; tools.close(); }));
    box.appendChild(findings(r));
    box.appendChild(timeline(r, Math.max(600, box.clientWidth - 24)));
    box.appendChild(statements(r));
    box.appendChild(outgoing(r));
    box.appendChild(exceptions(r));
    box.appendChild(leftOut(r));
    box.scrollIntoView({ block: "start" });
  }

  window.QxRequestDetail = { show, sqlShape };
})();
