// The list of projectors: each row follows its projector's state as the daemon reads it.
'use strict';
(() => {
  const table = document.getElementById('projectors');

  function show(message) {
    if (message.type !== 'projector') return;
    for (const row of table.tBodies[0].rows) {
      if (row.dataset.projector !== message.name) continue;
      for (const cell of row.querySelectorAll('[data-field]')) {
        const value = message[cell.dataset.field];
        cell.textContent = value === undefined || value === null ? '—' : String(value);
      }
    }
  }

  openSocket(table.dataset.socket, show, () => {});
})();
