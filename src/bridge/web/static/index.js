// The list of projectors: each row follows its projector's state as its daemon reads it. The
// venue's projectors that other daemons own are added as they are heard of, in their groups,
// each a link to its page here, which drives it through its owner. A group's buttons switch
// all its projectors, and each row tells how that went for it.
'use strict';
(() => {
  const table = document.getElementById('projectors');
  const fields = ['host', 'power', 'input', 'lampHours', 'link', 'outcome'];

  function groupButton(group, power) {
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.power = power;
    button.setAttribute('aria-label', `Switch every projector of ${group} ${power}`);
    button.textContent = `All ${power}`;
    return button;
  }

  function body(group) {
    for (const tbody of table.tBodies) if (tbody.dataset.group === group) return tbody;
    const tbody = table.createTBody();
    tbody.dataset.group = group;
    const heading = document.createElement('th');
    heading.colSpan = 1 + fields.length;
    heading.scope = 'rowgroup';
    heading.textContent = group || 'In no group';
    if (group) heading.append(' ', groupButton(group, 'on'), ' ', groupButton(group, 'off'));
    tbody.insertRow().append(heading);
    return tbody;
  }

  function row(name, group) {
    for (const tbody of table.tBodies)
      for (const tr of tbody.rows) if (tr.dataset.projector === name) return tr;
    if (group === undefined) return null;
    const tr = body(group).insertRow();
    tr.dataset.projector = name;
    const heading = document.createElement('th');
    heading.scope = 'row';
    const link = document.createElement('a');
    link.href = '/projector/' + encodeURIComponent(name);
    link.textContent = name;
    heading.append(link);
    tr.append(heading);
    for (const field of fields) tr.insertCell().dataset.field = field;
    return tr;
  }

  function show(message) {
    if (message.type === 'outcome') {
      const tr = row(message.name);
      if (tr) tr.querySelector('[data-field="outcome"]').textContent = message.outcome;
      return;
    }
    if (message.type !== 'projector') return;
    const tr = row(message.name, message.group || '');
    tr.dataset.hostOnline = message.hostOnline === false ? 'no' : 'yes';
    for (const cell of tr.querySelectorAll('[data-field]')) {
      if (cell.dataset.field === 'outcome') continue;
      const value = message[cell.dataset.field];
      cell.textContent = value === undefined || value === null ? '—' : String(value);
    }
  }

  const socket = openSocket(table.dataset.socket, show, () => {});
  table.addEventListener('click', (event) => {
    const button = event.target.closest('button[data-power]');
    if (!button) return;
    for (const cell of button.closest('tbody').querySelectorAll('[data-field="outcome"]'))
      cell.textContent = '…';
    socket.send({ group: button.closest('tbody').dataset.group, power: button.dataset.power });
  });
})();
