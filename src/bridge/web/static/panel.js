// The window of one projector: its buttons send through the daemon's queue for the line, and
// the traffic lines show what the line carries, whichever face sent it. A hold button is down
// while a finger, the mouse, or Space or Enter keeps it down; while it is, the page says every
// 250 ms that it is still there, and the daemon lets the button go after a second without
// word, so a page that loses its network never leaves the volume running.
'use strict';
(() => {
  const form = document.getElementById('Form1');
  const link = document.getElementById('link');
  const notice = document.getElementById('notice');
  const lines = { txd: 'Label11', rxd: 'Label12', status: 'Label25' };
  let held = null;
  let alive = null;

  function setLink(state, text) {
    link.dataset.state = state;
    link.textContent = text;
  }

  function show(message) {
    if (message.type === 'projector') {
      const why = message.link === 'down' && message.reason ? ' (' + message.reason + ')' : '';
      setLink(message.link, 'link ' + message.link + why + (message.power ? ', power ' + message.power : ''));
    } else if (message.type === 'traffic') {
      for (const [key, id] of Object.entries(lines)) {
        const line = document.getElementById(id);
        if (line.textContent !== message[key]) line.textContent = message[key];
      }
    } else if (message.type === 'notSent' || message.type === 'error') {
      notice.textContent = message.message;
    }
  }

  function press(button) {
    if (held === button) return;
    letGo();
    held = button;
    button.classList.add('down');
    notice.textContent = '';
    send({ press: button.id });
    alive = setInterval(() => send({ alive: true }), 250);
  }

  function letGo() {
    if (!held) return;
    send({ release: held.id });
    held.classList.remove('down');
    held = null;
    clearInterval(alive);
    alive = null;
  }

  const holdButton = (target) => target.closest && target.closest('button[data-kind="hold"]');

  form.addEventListener('pointerdown', (event) => {
    const button = holdButton(event.target);
    if (!button || event.button !== 0) return;
    // A touch is captured by its button; let it go, so that sliding off the button lets go.
    if (button.hasPointerCapture(event.pointerId)) button.releasePointerCapture(event.pointerId);
    press(button);
  });
  for (const type of ['pointerup', 'pointercancel', 'pointerout']) {
    form.addEventListener(type, (event) => {
      if (held && holdButton(event.target) === held) letGo();
    });
  }
  form.addEventListener('contextmenu', (event) => {
    if (holdButton(event.target)) event.preventDefault();
  });
  form.addEventListener('keydown', (event) => {
    const button = holdButton(event.target);
    if (!button || (event.key !== ' ' && event.key !== 'Enter')) return;
    event.preventDefault();
    if (!event.repeat) press(button);
  });
  form.addEventListener('keyup', (event) => {
    if (held && (event.key === ' ' || event.key === 'Enter')) letGo();
  });
  form.addEventListener('focusout', (event) => {
    if (event.target === held) letGo();
  });
  form.addEventListener('click', (event) => {
    const button = event.target.closest && event.target.closest('button[data-kind]');
    if (!button) return;
    if (button.dataset.kind === 'click') {
      notice.textContent = '';
      send({ click: button.id });
    } else if (button.dataset.kind === 'end') {
      location.assign('/');
    }
  });
  // A page in the background needs no traffic lines: the daemon sends them again when it is
  // back.
  const visible = () => send({ visible: document.visibilityState === 'visible' });
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'hidden') letGo();
    visible();
  });
  window.addEventListener('pagehide', letGo);
  window.addEventListener('blur', letGo);

  const socket = openSocket(
    form.dataset.socket,
    show,
    (event) => {
      letGo();
      setLink('down', event.reason ? 'not connected: ' + event.reason : 'not connected');
    },
    () => {
      if (document.visibilityState === 'hidden') visible();
    },
  );
  const send = (message) => socket.send(message);
})();
