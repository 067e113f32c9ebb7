// A page's WebSocket to the daemon, opened again after a loss, sooner at first and then every
// ten seconds; onOpen runs at each opening. A socket refused at its handshake may be a session that has ended: the page
// itself then answers with the way to the login.
'use strict';
function openSocket(path, onMessage, onLost, onOpen = () => {}) {
  let retry = 500;
  let current = null;

  async function reconnect(event, opened) {
    if (event.code === 1008) {
      location.assign('/login');
      return;
    }
    if (!opened) {
      try {
        const answer = await fetch(location.href, { method: 'HEAD', redirect: 'manual' });
        if (answer.type === 'opaqueredirect') {
          location.assign('/login');
          return;
        }
      } catch (error) {
        // The daemon cannot be reached: try again later.
      }
    }
    setTimeout(connect, retry);
    retry = Math.min(retry * 2, 10000);
  }

  function connect() {
    const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
    const socket = new WebSocket(scheme + location.host + path);
    let opened = false;
    current = socket;
    socket.onopen = () => {
      opened = true;
      retry = 500;
      onOpen();
    };
    socket.onmessage = (event) => onMessage(JSON.parse(event.data));
    socket.onclose = (event) => {
      onLost(event);
      reconnect(event, opened);
    };
  }

  connect();
  return {
    send(message) {
      if (current && current.readyState === WebSocket.OPEN) current.send(JSON.stringify(message));
    },
  };
}
