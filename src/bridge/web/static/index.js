// The list of projectors: each row follows its projector's state as its daemon reads it. The
// venue's projectors that other daemons own are added as they are heard of, in their groups,
// each a link to its page here, which drives it through its owner.
'use strict';
(() => {
  const table = document.getElementById('projectors');
  const fields = ['host', 'power', 'input', 'lampHours', 'link'];

  function body(group) {
    for (const tbody of table.tBodies) if (tbody.dataset.group === group) return tbody;
    const tbody = table.createTBody();
    tbody.dataset.group = group;
    const heading = document.createElement('th');
    heading.colSpan = 1 + fields.length;
    heading.scope = 'rowgroup';
    heading.textContent = group || 'In no group';
    tbody.insertRow().append(heading);
    return tbody;
  }

  function row(message) {
    for (const tbody of table.tBodies)
      for (const tr of tbody.rows) if (tr.dataset.projector === message.name) return tr;
    const tr = body(message.group || '').insertRow();
    tr.dataset.projector = message.name;
    const name = document.createElement('th');
    name.scope = 'row';
    const link = document.createElement('a');
    link.href = '/projector/' + encodeURIComponent(message.name);
    link.textContent = message.name;
    name.append(link);
    tr.append(name);
    for (const field of fields) tr.insertCell().dataset.field = field;
    return tr;
  }

  function show(message) {
    if (message.type !== 'projector') return;
    const tr = row(message);
    tr.dataset.hostOnline = message.hostOnline === false ? 'no' : 'yes';
    for (const cell of tr.querySelectorAll('[data-field]')) {
      const value = message[cell.dataset.field];
      cell.textContent = value === undefined || value === null ? '—' : String(value);
    }
  }

  openSocket(table.dataset.socket, show, () => {});
})();
