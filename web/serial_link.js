'use strict';
// The Web Serial link: the port the user chose, opened with the framing the core asks for; one
// ordered queue for the open, the writes, the line changes and the close; and the reader loop
// that hands what arrives to the core. `core` has received(bytes) and lost(reason).
function createSerialLink(port, core) {
  const parityNames = ['none', 'odd', 'even'];
  let queue = Promise.resolve();
  let framing = ''; // the options the port is open with
  let writer = null;
  let reader = null;
  let reading = null; // the reader loop while the port is open
  let closing = false;
  let lost = false;
  let ended = false; // the core is done with the port: a later loss is no longer its concern

  function lose(reason) {
    if (lost || ended) return;
    lost = true;
    core.lost(String((reason && reason.message) || reason));
  }
  // Each call waits for the one before: Web Serial's calls finish later, and the device must
  // see the lines change between the very bytes the core wrote around them.
  function enqueue(step) {
    queue = queue.then(() => (lost ? undefined : step())).catch(lose);
  }

  // A break or framing error ends the readable stream: port.readable then gives a new one, or
  // null once the port is gone.
  async function readLoop() {
    while (port.readable && !closing) {
      reader = port.readable.getReader();
      try {
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          core.received(value);
        }
      } catch (error) {
        // taken again while the port is there
      } finally {
        reader.releaseLock();
        reader = null;
      }
    }
    if (!closing) lose('the port is gone');
  }

  async function open(options) {
    await port.open(options);
    writer = port.writable.getWriter();
    reading = readLoop();
  }

  async function shut() {
    closing = true;
    if (reader) await reader.cancel().catch(() => {});
    await reading;
    writer.releaseLock();
    framing = '';
    await port.close();
  }

  port.addEventListener('disconnect', () => lose('the port was unplugged'));

  return {
    configure(baudRate, dataBits, stopBits, parity) {
      const options = { baudRate, dataBits, stopBits, parity: parityNames[parity], flowControl: 'none' };
      enqueue(async () => {
        if (JSON.stringify(options) === framing) return;
        if (framing) await shut();
        closing = false;
        await open(options);
        framing = JSON.stringify(options);
      });
    },
    setSignal(name, asserted) {
      enqueue(() => port.setSignals({ [name]: asserted }));
    },
    write(bytes) {
      enqueue(() => writer.write(bytes));
    },
    // Closes the port even when it was lost: an unplugged port must be closed to be opened again.
    close() {
      ended = true;
      queue = queue.then(() => framing && shut()).catch(() => {});
    },
    // Resolves once every call queued so far has finished.
    settled() {
      return queue;
    },
  };
}
