// The panel page: polls the server while the panel is open and draws what it gets.
(function () {
  'use strict';

  var LIVE_INTERVAL_MS = 1000;
  var QUOTA_INTERVAL_MS = 5000;
  var HISTORY_INTERVAL_MS = { '5m': 15000, '1h': 30000, '24h': 60000, '30d': 120000 };
  var RANGE_MS = { '5m': 300000, '1h': 3600000, '24h': 86400000, '30d': 2592000000 };
  var RANGE_CAPTION = { '5m': 'Last 5 minutes', '1h': 'Last hour', '24h': 'Last 24 hours', '30d': 'Last 30 days' };
  // Every applied Dock state restarts the icon's rotation, so changes of the values alone
  // are sent at most this often; switch and selection changes go at once.
  var DOCK_VALUE_POST_INTERVAL_MS = 60000;

  var METRICS = {
    cpu: { color: '#63d89e', keys: ['cpu'] },
    memory: { color: '#6cb6ff', keys: ['memory'] },
    disk: { color: '#f2b45a', keys: ['disk'] },
    network: { color: '#5fd4e6', keys: ['rx', 'tx'], colors: ['#5fd4e6', '#b592ff'] }
  };

  var app = document.getElementById('app');
  var statusEl = document.getElementById('status');

  var state = {
    open: initialOpenState(),
    range: '5m',
    sort: 'cpu',
    timers: {},
    controller: null,
    lastSampleTs: 0,
    lastSampleAt: 0,
    series: emptySeries(),
    charts: {},
    processes: null,
    processMetrics: false,
    quotas: null,
    dockPosted: null,
    dockPostedSettings: null,
    dockPostedAt: 0,
    offline: false,
    unauthorized: false,
    requestCount: 0
  };

  function initialOpenState() {
    var flag = window.__tidemarkPanelOpen;
    if (flag === true) return true;
    if (flag === false) return false;
    // Inside the app the panel may not have been shown yet; in a browser tab it is open.
    return !(window.webkit && window.webkit.messageHandlers);
  }

  function emptySeries() { return { t: [], cpu: [], memory: [], disk: [], rx: [], tx: [] }; }

  // ---- formatting ---------------------------------------------------------------------

  function percent(v) {
    if (v == null || !isFinite(v)) return '–';
    return (v < 10 ? v.toFixed(1) : Math.round(v).toString()) + '%';
  }
  function bytes(v) {
    if (v == null || !isFinite(v)) return '–';
    var units = ['B', 'KB', 'MB', 'GB', 'TB', 'PB'];
    var i = 0;
    while (Math.abs(v) >= 1000 && i < units.length - 1) { v /= 1000; i++; }
    return (i === 0 || v >= 100 ? Math.round(v).toString() : v.toFixed(1)) + ' ' + units[i];
  }
  function rate(v) { return bytes(v) + '/s'; }
  function clock(ms) {
    var d = new Date(ms);
    return d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
  }
  function when(ms) {
    var d = new Date(ms);
    if (state.range === '30d' || state.range === '24h') {
      return d.toLocaleString([], { weekday: 'short', hour: '2-digit', minute: '2-digit' });
    }
    return clock(ms);
  }

  // ---- requests -----------------------------------------------------------------------

  function request(path, options) {
    if (!state.open) return Promise.reject(new Error('paused'));
    options = options || {};
    options.credentials = 'same-origin';
    options.cache = 'no-store';
    if (state.controller) options.signal = state.controller.signal;
    state.requestCount++;
    return fetch(path, options).then(function (response) {
      if (response.status === 401) {
        state.unauthorized = true;
        throw new Error('unauthorized');
      }
      if (!response.ok) throw new Error('HTTP ' + response.status);
      setOffline(false);
      return response.json();
    }, function (error) {
      if (error && error.name !== 'AbortError') setOffline(true);
      throw error;
    });
  }

  function quietly(promise) { return promise.catch(function () {}); }

  function schedule(name, delay, fn) {
    clearTimeout(state.timers[name]);
    if (!state.open) return;
    state.timers[name] = setTimeout(function () {
      delete state.timers[name];
      if (state.open) fn();
    }, delay);
  }

  // ---- live state ---------------------------------------------------------------------

  function pollLive() {
    quietly(request('/api/state').then(applyState)).then(function () {
      schedule('live', LIVE_INTERVAL_MS, pollLive);
      renderStatus();
    });
  }

  function applyState(data) {
    state.processMetrics = !!data.processMetrics;
    document.getElementById('footer').textContent = data.persistentHistory
      ? 'History is kept for 30 days on this computer'
      : 'History is kept in memory until Tidemark quits';
    var s = data.sample;
    if (s) {
      renderCards(s);
      if (s.ts > state.lastSampleTs) {
        state.lastSampleTs = s.ts;
        state.lastSampleAt = Date.now();
        if (state.range === '5m') appendLive(s);
      }
    }
    state.processes = data.processes;
    renderProcesses();
    if (s && state.quotas) refreshBuiltInQuotas(s);
  }

  // The built-in providers follow the live sample between quota polls.
  function refreshBuiltInQuotas(s) {
    var values = { cpu: s.cpuUsage, memory: s.memoryPercent, disk: s.diskPercent };
    var changed = false;
    state.quotas.providers.forEach(function (p) {
      if (!p.builtIn || values[p.id] == null) return;
      var v = Math.max(0, Math.min(100, values[p.id]));
      var text = Math.round(v) + '%';
      if (p.displayValue !== text || p.status !== 'ok') changed = true;
      p.status = 'ok';
      p.percent = v;
      p.displayValue = text;
    });
    if (changed) renderQuotas();
  }

  function appendLive(s) {
    var series = state.series;
    series.t.push(s.ts);
    series.cpu.push(s.cpuUsage);
    series.memory.push(s.memoryPercent);
    series.disk.push(s.diskPercent);
    series.rx.push(s.rxBps);
    series.tx.push(s.txBps);
    var cutoff = s.ts - RANGE_MS['5m'];
    while (series.t.length && series.t[0] < cutoff) {
      Object.keys(series).forEach(function (k) { series[k].shift(); });
    }
    drawCharts();
  }

  function card(metric) { return document.querySelector('.card[data-metric="' + metric + '"]'); }

  function renderCards(s) {
    var cpu = card('cpu');
    if (!cpu.classList.contains('hovering')) {
      cpu.querySelector('[data-detail]').textContent = 'at ' + clock(s.ts);
    }
    cpu.querySelector('[data-value]').textContent = percent(s.cpuUsage);

    var memory = card('memory');
    memory.querySelector('[data-value]').textContent = percent(s.memoryPercent);
    if (!memory.classList.contains('hovering')) {
      memory.querySelector('[data-detail]').textContent = bytes(s.memoryUsed) + ' of ' + bytes(s.memoryTotal);
    }

    var disk = card('disk');
    disk.querySelector('[data-value]').textContent = percent(s.diskPercent);
    if (!disk.classList.contains('hovering')) {
      disk.querySelector('[data-detail]').textContent = s.diskTotal > 0
        ? bytes(s.diskUsed) + ' of ' + bytes(s.diskTotal)
        : 'No disk figures';
    }

    var network = card('network');
    network.querySelector('[data-value]').textContent = rate(s.rxBps + s.txBps);
    if (!network.classList.contains('hovering')) {
      network.querySelector('[data-down]').textContent = rate(s.rxBps);
      network.querySelector('[data-up]').textContent = rate(s.txBps);
    }
  }

  // ---- history and charts -------------------------------------------------------------

  function loadHistory() {
    var range = state.range;
    quietly(request('/api/history?range=' + encodeURIComponent(range)).then(function (data) {
      if (range !== state.range) return;
      var series = emptySeries();
      for (var i = 0; i < data.t.length; i++) {
        series.t.push(data.t[i]);
        series.cpu.push(data.cpu[i]);
        series.memory.push(data.memory[i]);
        series.disk.push(data.disk[i]);
        series.rx.push(data.rx[i]);
        series.tx.push(data.tx[i]);
      }
      state.series = series;
      if (series.t.length) state.lastSampleTs = Math.max(state.lastSampleTs, series.t[series.t.length - 1]);
      drawCharts();
    })).then(function () {
      schedule('history', HISTORY_INTERVAL_MS[range], loadHistory);
    });
  }

  function chartWidth(el) { return Math.max(120, el.clientWidth); }

  function makeChart(metric) {
    var cardEl = card(metric);
    var el = cardEl.querySelector('[data-chart]');
    var config = METRICS[metric];
    var colors = config.colors || [config.color];
    var series = [{}];
    config.keys.forEach(function (key, i) {
      var color = colors[i];
      series.push({
        stroke: color,
        width: 1.6,
        points: { show: false },
        fill: function (u) {
          var ctx = u.ctx;
          var g = ctx.createLinearGradient(0, u.bbox.top, 0, u.bbox.top + u.bbox.height);
          g.addColorStop(0, hexAlpha(color, i === 0 ? 0.28 : 0.14));
          g.addColorStop(1, hexAlpha(color, 0));
          return g;
        }
      });
    });
    var percentScale = metric !== 'network';
    var options = {
      width: chartWidth(el),
      height: 48,
      padding: [4, 4, 0, 4],
      legend: { show: false },
      select: { show: false },
      cursor: {
        y: false,
        points: { size: 6, fill: '#101214' },
        drag: { x: false, y: false }
      },
      scales: {
        x: { time: false },
        y: percentScale
          ? { range: function (u, min, max) { return [0, Math.max(10, Math.min(100, Math.ceil((max || 0) / 10) * 10 + 5))]; } }
          : { range: function (u, min, max) { return [0, Math.max(1024, (max || 0) * 1.15)]; } }
      },
      axes: [{ show: false }, { show: false }],
      series: series,
      hooks: {
        setCursor: [function (u) { showHover(metric, u); }]
      }
    };
    var chart = new uPlot(options, chartData(metric), el);
    el.addEventListener('mouseleave', function () {
      cardEl.classList.remove('hovering');
      var last = lastSample();
      if (last) renderCards(last);
    });
    return chart;
  }

  function chartData(metric) {
    var series = state.series;
    var data = [series.t.slice()];
    METRICS[metric].keys.forEach(function (key) { data.push(series[key].slice()); });
    return data;
  }

  function lastSample() { return state.latest; }

  function showHover(metric, u) {
    var idx = u.cursor.idx;
    var cardEl = card(metric);
    if (idx == null || u.cursor.left < 0) return;
    var t = u.data[0][idx];
    if (t == null) return;
    cardEl.classList.add('hovering');
    var detail = cardEl.querySelector('[data-detail]');
    if (metric === 'network') {
      cardEl.querySelector('[data-down]').textContent = rate(u.data[1][idx]);
      cardEl.querySelector('[data-up]').textContent = rate(u.data[2][idx]) + ' · ' + when(t);
    } else {
      detail.textContent = percent(u.data[1][idx]) + ' at ' + when(t);
    }
  }

  function hexAlpha(hex, alpha) {
    var n = parseInt(hex.slice(1), 16);
    return 'rgba(' + ((n >> 16) & 255) + ',' + ((n >> 8) & 255) + ',' + (n & 255) + ',' + alpha + ')';
  }

  function drawCharts() {
    Object.keys(METRICS).forEach(function (metric) {
      if (!state.charts[metric]) {
        state.charts[metric] = makeChart(metric);
      } else {
        state.charts[metric].setData(chartData(metric));
      }
    });
  }

  function resizeCharts() {
    Object.keys(state.charts).forEach(function (metric) {
      var el = card(metric).querySelector('[data-chart]');
      state.charts[metric].setSize({ width: chartWidth(el), height: 48 });
    });
  }

  // ---- processes ----------------------------------------------------------------------

  var SORTS = {
    cpu: { value: function (p) { return p.cpuPercent; }, format: function (p) { return percent(p.cpuPercent); } },
    memory: { value: function (p) { return p.memoryBytes; }, format: function (p) { return bytes(p.memoryBytes); } },
    disk: {
      value: function (p) { return p.diskReadBps + p.diskWriteBps; },
      format: function (p) { return rate(p.diskReadBps + p.diskWriteBps); }
    },
    network: {
      value: function (p) { return p.downloadBps + p.uploadBps; },
      format: function (p) { return rate(p.downloadBps + p.uploadBps); }
    }
  };

  function renderProcesses() {
    var section = document.getElementById('processes');
    section.hidden = !state.processMetrics;
    if (!state.processMetrics) return;
    var list = document.getElementById('process-list');
    var empty = document.getElementById('process-empty');
    // UDP has no per-process byte counters an ordinary user can read.
    document.getElementById('process-network-note').hidden = state.sort !== 'network';
    var entries = state.processes && state.processes.list ? state.processes.list.slice() : [];
    var sort = SORTS[state.sort];
    entries.sort(function (a, b) { return sort.value(b) - sort.value(a) || a.pid - b.pid; });
    entries = entries.slice(0, 8);
    empty.hidden = entries.length > 0;
    var top = entries.length ? Math.max(sort.value(entries[0]), 1e-9) : 1;
    while (list.children.length > entries.length) list.removeChild(list.lastChild);
    entries.forEach(function (p, i) {
      var row = list.children[i];
      if (!row) {
        row = document.createElement('li');
        row.className = 'process';
        row.innerHTML = '<span class="bar"></span><span class="name"></span><span class="pid"></span><span class="figure"></span>';
        list.appendChild(row);
      }
      row.querySelector('.bar').style.width = Math.max(0, Math.min(100, sort.value(p) / top * 100)) + '%';
      row.querySelector('.name').textContent = p.name || '(unnamed)';
      row.querySelector('.name').title = p.name;
      row.querySelector('.pid').textContent = p.pid;
      row.querySelector('.figure').textContent = sort.format(p);
    });
  }

  // ---- quotas and the Dock ------------------------------------------------------------

  function pollQuotas() {
    quietly(request('/api/quotas').then(applyQuotas)).then(function () {
      schedule('quotas', QUOTA_INTERVAL_MS, pollQuotas);
    });
  }

  function applyQuotas(data) {
    state.quotas = data;
    renderQuotas();
    postDockState(data.dockPayload, false);
  }

  function renderQuotas() {
    var data = state.quotas;
    if (!data) return;
    var list = document.getElementById('quota-list');
    list.textContent = '';
    var selection = data.dock.selection;
    data.providers.forEach(function (p) {
      var li = document.createElement('li');
      li.className = 'quota';
      if (data.dock.showInDock && selection === p.id) li.classList.add('selected');
      li.style.setProperty('--c', p.color);
      var swatch = document.createElement('span');
      swatch.className = 'swatch';
      var name = document.createElement('span');
      name.className = 'qname';
      name.textContent = p.name;
      var value = document.createElement('span');
      value.className = 'qvalue';
      if (p.status === 'ok') {
        value.textContent = p.displayValue;
      } else {
        value.classList.add('badge');
        if (p.status === 'error') value.classList.add('error');
        value.textContent = p.displayValue || (p.status === 'error' ? 'Error' : 'Not set up');
      }
      var meter = document.createElement('span');
      meter.className = 'meter';
      var fill = document.createElement('span');
      fill.style.width = (p.status === 'ok' && p.percent != null ? p.percent : 0) + '%';
      meter.appendChild(fill);
      li.appendChild(swatch);
      li.appendChild(name);
      li.appendChild(value);
      li.appendChild(meter);
      list.appendChild(li);
    });

    var toggle = document.getElementById('show-in-dock');
    toggle.checked = !!data.dock.showInDock;
    var select = document.getElementById('dock-selection');
    var wanted = ['auto'].concat(data.providers.map(function (p) { return p.id; }));
    var current = Array.prototype.map.call(select.options, function (o) { return o.value; });
    if (wanted.join('|') !== current.join('|')) {
      select.textContent = '';
      select.appendChild(new Option('Each in turn', 'auto'));
      data.providers.forEach(function (p) { select.appendChild(new Option(p.name, p.id)); });
    }
    select.value = wanted.indexOf(selection) >= 0 ? selection : 'auto';
    document.getElementById('dock-select-row').hidden = !data.dock.showInDock;
  }

  function dockHandler() {
    var w = window.webkit;
    return w && w.messageHandlers && w.messageHandlers.dockQuota;
  }

  function postDockState(payload, force) {
    var handler = dockHandler();
    if (!handler || !payload) return;
    var key = JSON.stringify(payload);
    var settingsKey = JSON.stringify([payload.enabled, payload.selection, payload.providers.map(function (p) {
      return [p.id, p.name, p.color, p.status];
    })]);
    var now = Date.now();
    var due = force || state.dockPosted === null || settingsKey !== state.dockPostedSettings ||
      (key !== state.dockPosted && now - state.dockPostedAt >= DOCK_VALUE_POST_INTERVAL_MS);
    if (!due) return;
    try {
      handler.postMessage(payload);
      state.dockPosted = key;
      state.dockPostedSettings = settingsKey;
      state.dockPostedAt = now;
    } catch (e) {
      // The native side may refuse; the next change tries again.
    }
  }

  function saveDock(change) {
    quietly(request('/api/dock', {
      method: 'PUT',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(change)
    }).then(function (data) {
      state.quotas = data;
      renderQuotas();
      postDockState(data.dockPayload, true);
    }));
  }

  // ---- status, pause and resume -------------------------------------------------------

  function setOffline(offline) {
    if (state.offline === offline) return;
    state.offline = offline;
    renderStatus();
  }

  function renderStatus() {
    var mode = !state.open ? 'paused' : (state.offline || state.unauthorized) ? 'offline' : 'live';
    app.setAttribute('data-state', mode);
    if (state.unauthorized) {
      statusEl.textContent = 'Sign-in expired';
    } else if (mode === 'offline') {
      statusEl.textContent = 'Reconnecting…';
    } else if (mode === 'paused') {
      statusEl.textContent = 'Paused';
    } else if (state.lastSampleAt) {
      var age = Math.round((Date.now() - state.lastSampleAt) / 1000);
      statusEl.textContent = age <= 3 ? 'Live' : 'Last sample ' + age + ' s ago';
    } else {
      statusEl.textContent = 'Waiting for data…';
    }
  }

  function pause() {
    state.open = false;
    Object.keys(state.timers).forEach(function (name) { clearTimeout(state.timers[name]); });
    state.timers = {};
    if (state.controller) state.controller.abort();
    state.controller = null;
    renderStatus();
  }

  function resume() {
    if (state.open && state.controller) return;
    state.open = true;
    state.controller = typeof AbortController === 'function' ? new AbortController() : null;
    renderStatus();
    pollLive();
    loadHistory();
    pollQuotas();
  }

  function selectRange(range) {
    if (!RANGE_MS[range] || range === state.range) return;
    state.range = range;
    Array.prototype.forEach.call(document.querySelectorAll('#ranges button'), function (b) {
      b.setAttribute('aria-selected', b.getAttribute('data-range') === range ? 'true' : 'false');
    });
    document.getElementById('range-caption').textContent = RANGE_CAPTION[range];
    state.series = emptySeries();
    drawCharts();
    clearTimeout(state.timers.history);
    if (state.open) loadHistory();
  }

  function selectSort(sort) {
    if (!SORTS[sort]) return;
    state.sort = sort;
    Array.prototype.forEach.call(document.querySelectorAll('#process-sort button'), function (b) {
      b.setAttribute('aria-selected', b.getAttribute('data-sort') === sort ? 'true' : 'false');
    });
    renderProcesses();
  }

  // ---- wiring -------------------------------------------------------------------------

  document.getElementById('ranges').addEventListener('click', function (event) {
    var button = event.target.closest('button[data-range]');
    if (button) selectRange(button.getAttribute('data-range'));
  });
  document.getElementById('process-sort').addEventListener('click', function (event) {
    var button = event.target.closest('button[data-sort]');
    if (button) selectSort(button.getAttribute('data-sort'));
  });
  document.getElementById('show-in-dock').addEventListener('change', function (event) {
    saveDock({ showInDock: event.target.checked });
  });
  document.getElementById('dock-selection').addEventListener('change', function (event) {
    saveDock({ selection: event.target.value });
  });
  var resizeTimer = null;
  window.addEventListener('resize', function () {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(resizeCharts, 60);
  });
  setInterval(function () { if (state.open) renderStatus(); }, 1000);

  // Keep the newest sample for restoring card texts after hovering.
  var applyStateInner = applyState;
  applyState = function (data) {
    if (data.sample) state.latest = data.sample;
    applyStateInner(data);
  };

  window.__tidemark = {
    onPanelOpen: function () { resume(); },
    onPanelClose: function () { pause(); },
    // For people and tests: how many requests the page has made.
    get requestCount() { return state.requestCount; }
  };

  drawCharts();
  if (state.open) {
    state.open = false;
    resume();
  } else {
    renderStatus();
  }
})();
