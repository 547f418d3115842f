(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("velkora-data").textContent);
  var cols = data.columns, LIMIT = 1000;
  var rows = data.rows.map(function (v, i) { return {v: v, i: i}; });
  var colIndex = {};
  cols.forEach(function (c, i) { colIndex[c.key] = i; });
  var state = {sort: null, desc: false, pattern: "", q: "", all: false};
  var collator = new Intl.Collator(undefined, {numeric: true, sensitivity: "base"});
  var $ = function (id) { return document.getElementById(id); };
  var colour = function (p) { return data.colours[p] || "#9aa1ab"; };

  function readHash() {
    state.sort = null; state.desc = false; state.pattern = ""; state.q = "";
    (location.hash || "").replace(/^#/, "").split("&").forEach(function (part) {
      var eq = part.indexOf("="), key, value;
      if (eq < 0) return;
      key = part.slice(0, eq);
      try { value = decodeURIComponent(part.slice(eq + 1).replace(/\+/g, " ")); } catch (e) { return; }
      if (key === "sort") {
        var bits = value.split(":");
        if (bits[0] in colIndex) { state.sort = bits[0]; state.desc = bits[1] === "desc"; }
      } else if (key === "pattern") { state.pattern = value; }
      else if (key === "q") { state.q = value; }
    });
  }

  function writeHash() {
    var parts = [];
    if (state.sort) parts.push("sort=" + state.sort + ":" + (state.desc ? "desc" : "asc"));
    if (state.pattern) parts.push("pattern=" + encodeURIComponent(state.pattern));
    if (state.q) parts.push("q=" + encodeURIComponent(state.q));
    try { history.replaceState(null, "", parts.length ? "#" + parts.join("&") : location.pathname + location.search); }
    catch (e) { /* some browsers refuse history changes for file: pages; the view still works */ }
  }

  function compare(a, b) {
    var k = colIndex[state.sort], x = a.v[k], y = b.v[k], r;
    if (x === null || y === null) {       // missing values last, whichever the direction
      r = (x === null) - (y === null);
      return r || a.i - b.i;
    }
    r = cols[k].numeric ? x - y : collator.compare(x, y);
    if (state.desc) r = -r;
    return r || a.i - b.i;
  }

  function visible() {
    var q = state.q.toLowerCase();
    var out = rows.filter(function (r) {
      if (state.pattern && r.v[2] !== state.pattern) return false;
      return !q || r.v[0].toLowerCase().indexOf(q) >= 0 || r.v[1].toLowerCase().indexOf(q) >= 0;
    });
    if (state.sort) out.sort(compare);
    return out;
  }

  function cell(tr, text, cls) {
    var td = document.createElement("td");
    td.textContent = text;
    if (cls) td.className = cls;
    tr.appendChild(td);
    return td;
  }

  function renderTable() {
    var list = visible(), body = $("rows"), frag = document.createDocumentFragment();
    var shown = state.all ? list : list.slice(0, LIMIT);
    shown.forEach(function (r) {
      var v = r.v, tr = document.createElement("tr");
      cell(tr, v[0], "loc");
      var nameCell = cell(tr, v[1], "name");
      var w = (data.why || [])[r.i] || [], advice = w[0] || "", reasons = w[1] || "";
      if (reasons || advice) {     // why the row has its pattern, and what to do about it
        var why = document.createElement("div");
        why.className = "why";
        why.textContent = reasons + (reasons && advice ? ". " : "") + (advice ? "Advice: " + advice : "");
        nameCell.appendChild(why);
      }
      var chip = document.createElement("span");
      chip.className = "chip";
      chip.style.setProperty("--c", colour(v[2]));
      chip.textContent = v[2];
      cell(tr, "", "pattern").appendChild(chip);
      for (var k = 3; k < cols.length; k++) {
        var x = v[k], td;
        if (cols[k].key === "gpu_speedup") {
          td = cell(tr, x === null ? "\u2013" : x.toFixed(1) + "\u00d7", "num");
        } else {
          td = cell(tr, x === null ? "\u2013" : x.toFixed(2), "num");
          if (x !== null && x > 0) {     // a thin meter under the figure, growing from the right
            var from = (1 - Math.min(1, x)) * 100;
            td.className = "num meter";
            td.style.backgroundImage = "linear-gradient(90deg, transparent " + from + "%, var(--meter) " +
                                       from + "%)";
          }
        }
      }
      frag.appendChild(tr);
    });
    body.replaceChildren(frag);
    $("shown").textContent = "showing " + shown.length + " of " + rows.length + " functions" +
      (list.length !== rows.length ? " (" + list.length + " match)" : "");
    $("more").hidden = shown.length === list.length;
    $("more").textContent = "show all " + list.length;
    Array.prototype.forEach.call(document.querySelectorAll("#functions th"), function (th) {
      if (th.dataset.key === state.sort) th.setAttribute("aria-sort", state.desc ? "descending" : "ascending");
      else th.removeAttribute("aria-sort");
    });
    Array.prototype.forEach.call(document.querySelectorAll("#chart g[data-pattern]"), function (g) {
      g.classList.toggle("active", g.getAttribute("data-pattern") === state.pattern);
    });
  }

  function update() { writeHash(); renderTable(); }

  function renderHead() {
    var tr = document.createElement("tr");
    cols.forEach(function (c) {
      var th = document.createElement("th");
      th.textContent = c.label;
      th.dataset.key = c.key;
      th.scope = "col";
      th.title = "sort by " + c.key.replace(/_/g, " ");
      if (c.numeric) th.className = "num";
      th.addEventListener("click", function () { sortBy(c.key); });
      tr.appendChild(th);
    });
    $("head").replaceChildren(tr);
  }

  function sortBy(key, desc) {
    if (desc === undefined) desc = state.sort === key ? !state.desc : cols[colIndex[key]].numeric;
    state.sort = key;
    state.desc = desc;
    update();
  }

  function renderChart() {
    var svg = $("chart"), ns = svg.namespaceURI, list = data.patterns;
    // Drawn at the size it is shown (one unit a pixel), so that the labels keep the page's text size.
    var width = Math.max(360, Math.round(svg.getBoundingClientRect().width) || 560);
    var labelW = 178, barW = width - labelW - 56, rowH = 28, top = 6;
    var max = list.reduce(function (m, p) { return Math.max(m, p[1]); }, 1);
    var h = top * 2 + Math.max(list.length, 1) * rowH;
    svg.setAttribute("viewBox", "0 0 " + width + " " + h);
    var el = function (name, attrs, parent) {
      var e = document.createElementNS(ns, name);
      for (var a in attrs) e.setAttribute(a, attrs[a]);
      parent.appendChild(e);
      return e;
    };
    if (!list.length) {
      el("text", {x: 0, y: 20}, svg).textContent = "no functions";
      return;
    }
    list.forEach(function (p, i) {
      var y = top + i * rowH, w = Math.max(2, Math.round(barW * p[1] / max));
      var g = el("g", {"data-pattern": p[0]}, svg);
      el("title", {}, g).textContent = p[0] + ": " + p[1] + " function" + (p[1] === 1 ? "" : "s");
      el("text", {x: labelW - 8, y: y + 18, "text-anchor": "end"}, g).textContent = p[0];
      el("rect", {"class": "bar", x: labelW, y: y + 4, width: w, height: rowH - 8, rx: 3,
                  fill: colour(p[0]), "data-count": p[1]}, g);
      el("text", {"class": "count", x: labelW + w + 6, y: y + 18}, g).textContent = String(p[1]);
      g.addEventListener("click", function () {
        state.pattern = state.pattern === p[0] ? "" : p[0];
        $("pattern-filter").value = state.pattern;
        update();
      });
    });
  }

  function showState() {
    var select = $("pattern-filter");
    select.value = state.pattern;
    if (select.value !== state.pattern) state.pattern = "";
    $("filter").value = state.q;
  }

  function renderControls() {
    var select = $("pattern-filter");
    data.patterns.forEach(function (p) {
      var o = document.createElement("option");
      o.value = p[0];
      o.textContent = p[0] + " (" + p[1] + ")";
      select.appendChild(o);
    });
    showState();
    select.addEventListener("change", function () { state.pattern = select.value; update(); });
    $("filter").addEventListener("input", function () { state.q = $("filter").value; update(); });
    $("more").addEventListener("click", function () { state.all = true; renderTable(); });
  }

  readHash();
  renderHead();
  renderChart();
  renderControls();
  renderTable();
  window.addEventListener("hashchange", function () { readHash(); showState(); renderTable(); });
  window.velkoraReport = {sortBy: sortBy, state: state};
})();
