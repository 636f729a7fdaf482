'use strict';
// A stand-in for navigator.serial, put into the page before its scripts. Its one port is the
// virtual device (KarvexDevice, the device compiled to WebAssembly): like the chip it hears only
// 500,000 baud 8N1, and its bootloader answers only while DTR and RTS are both asserted.
// window.standInConfig: { env: KARVEX_SIM_* variables, chooser: 'choose' | 'close',
// breakAfterBlocks: N (a framing error ends the readable stream once N blocks are written),
// handshakeLateMs: the line delivers the replies this late until the first block is written }.
// window.standIn records what the page did: the port requests, the opens' options, and `log`,
// the port's calls in order ("open", "DTR 1", "write C1", "close", ...).
(() => {
  const config = window.standInConfig;
  const record = { requests: 0, filters: null, opens: [], log: [], flash: null, bootArea: null, unplugged: false };
  window.standIn = record;
  const parities = { none: 0, odd: 1, even: 2 };

  const devicePromise = KarvexDevice().then((device) => {
    for (const [name, value] of Object.entries(config.env || {}))
      device.ccall('device_set', null, ['string', 'string'], [name, String(value)]);
    device._device_plug();
    record.bootArea = Array.from(flash(device).slice(0x7f40));
    return device;
  });
  // The device keeps its own time, as a real one does whichever tab is in front: replies not
  // ready yet are looked at again from a worker's timer, which the browser does not slow down
  // in a hidden tab as it does the page's own timers.
  const wakerUrl = URL.createObjectURL(new Blob(['onmessage = ({ data }) => setTimeout(() => postMessage(0), data);'],
                                                { type: 'text/javascript' }));
  const flash = (device) => device.HEAPU8.subarray(device._device_flash(), device._device_flash() + 0x8000);

  class StandInPort extends EventTarget {
    constructor(device) {
      super();
      this.device = device;
      this.opened = false;
      this.gone = false;
      this.stream = null; // the current readable stream and its controller
      this.controller = null;
      this.signals = { dataTerminalReady: false, requestToSend: false };
      this.breakPending = config.breakAfterBlocks > 0;
      this.writableStream = null;
      this.waker = new Worker(wakerUrl);
      this.waker.onmessage = () => this.pump();
    }
    getInfo() {
      return { usbVendorId: 0x0403, usbProductId: 0x6001 };
    }
    async open(options) {
      if (this.opened) throw new DOMException('The port is already open.', 'InvalidStateError');
      if (this.gone) throw new DOMException('The device has been lost.', 'NetworkError');
      record.opens.push(options);
      record.log.push('open');
      this.device._device_set_framing(options.baudRate, options.dataBits ?? 8,
                                      options.stopBits === 2 ? 2 : 0, parities[options.parity ?? 'none']);
      this.opened = true;
      this.writableStream = new WritableStream({ write: (chunk) => this.transmit(chunk) });
    }
    get readable() {
      if (!this.opened || this.gone) return null;
      if (!this.stream) {
        this.stream = new ReadableStream({
          start: (controller) => { this.controller = controller; },
          pull: () => this.pump(),
          cancel: () => { this.stream = this.controller = null; },
        });
      }
      return this.stream;
    }
    get writable() {
      return this.opened && !this.gone ? this.writableStream : null;
    }
    async setSignals(signals) {
      if (!this.opened || this.gone) throw new DOMException('The port is closed.', 'InvalidStateError');
      for (const [name, line] of [['dataTerminalReady', 'DTR'], ['requestToSend', 'RTS']]) {
        if (name in signals) {
          this.signals[name] = signals[name];
          record.log.push(`${line} ${signals[name] ? 1 : 0}`);
        }
      }
      this.device._device_set_lines(this.signals.dataTerminalReady, this.signals.requestToSend);
    }
    async close() {
      if (this.stream?.locked || this.writableStream?.locked)
        throw new TypeError('Cannot close a port whose streams are locked.');
      this.opened = false;
      this.stream = this.controller = null;
      record.log.push('close');
      record.flash = Array.from(flash(this.device));
    }
    transmit(chunk) {
      if (this.gone) throw new DOMException('The device has been lost.', 'NetworkError');
      const bytes = new Uint8Array(chunk);
      record.log.push('write ' + Array.from(bytes.slice(0, 1), (b) => b.toString(16).toUpperCase()).join(''));
      const address = this.device._malloc(bytes.length);
      this.device.HEAPU8.set(bytes, address);
      const present = this.device._device_transmit(address, bytes.length);
      this.device._free(address);
      if (!present) return this.unplug();
      this.pump();
    }
    unplug() {
      this.gone = true;
      record.unplugged = true;
      record.flash = Array.from(flash(this.device));
      this.controller?.error(new DOMException('The device has been lost.', 'NetworkError'));
      this.stream = this.controller = null;
      this.dispatchEvent(new Event('disconnect'));
    }
    // Hands the device's ready replies to the readable stream; bytes not ready yet are
    // looked at again a millisecond later, woken by the worker.
    pump() {
      if (!this.controller || this.gone) return;
      if (this.breakPending && this.device._device_blocks_written() >= config.breakAfterBlocks) {
        this.breakPending = false;
        this.controller.error(new DOMException('Framing error.', 'FramingError'));
        this.stream = this.controller = null;
        return;
      }
      const buffer = this.device._malloc(256);
      const lateUs = this.device._device_blocks_written() === 0 ? (config.handshakeLateMs ?? 0) * 1000 : 0;
      const count = this.device._device_take(buffer, 256, lateUs);
      if (count > 0) this.controller.enqueue(this.device.HEAPU8.slice(buffer, buffer + count));
      this.device._free(buffer);
      if (this.device._device_pending() > 0) this.waker.postMessage(1);
    }
  }

  const serial = new EventTarget();
  serial.getPorts = async () => [];
  serial.requestPort = async (options) => {
    record.requests++;
    record.filters = options?.filters ?? null;
    if (!navigator.userActivation.isActive)
      throw new DOMException('Must be handling a user gesture to show a permission request.', 'SecurityError');
    if (config.chooser === 'close') throw new DOMException('No port selected by the user.', 'NotFoundError');
    return new StandInPort(await devicePromise);
  };
  Object.defineProperty(Navigator.prototype, 'serial', { get: () => serial, configurable: true });
})();
