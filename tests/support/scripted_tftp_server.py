#!/usr/bin/python3
"""A scripted TFTP server for tests: it serves read requests from a folder like a real
server (a transfer port of its own per request, lock-step DATA and ACK, resending a block
when its ACK is late) and bends the conversation on request, so that tests can produce
packets a real server will not send. Everything the client sends is recorded.

Usage: scripted_tftp_server.py ROOT PORTFILE RECORDFILE [BEHAVIOUR ...]

The server listens on 127.0.0.1 on a port of the system's choosing and writes the port to
PORTFILE (through a temporary name, so a reader never sees half a number). Requests are
served one after the other. BEHAVIOUR arguments, each KEY or KEY=VALUE:

  oack=echo          acknowledge the client's blksize option with the value it asked for
  oack=NAME:VALUE    answer the request with an OACK holding this one pair (VALUE may be
                     any text; a NAME of blksize, any case, sets the block size when VALUE
                     is a number)
  oackhex=HEX        answer the request with these raw bytes (after the opcode 00 06)
  blksize=N          send blocks of N bytes whatever was negotiated
  silence            never answer a request
  stopafter=K        go silent after sending block K
  error=CODE:TEXT    answer the request with an ERROR packet
  repeat=K           send block K a second time after its ACK, before block K+1
  repeatlast         send the last block again after its ACK
  rawafter=K:HEX     after the ACK of block K (0: right after the request) send these raw
                     bytes from the transfer port, then go silent
  inject=K           after the ACK of block K, send a DATA packet numbered K+1 with other
                     bytes from a foreign port first, then go on normally
  lateoack=K         send the OACK (or a blksize OACK of 1024) once more after the ACK of K
  wrapto=N           block number after 65535 (default 0)
  replyfrom=ADDR     answer from another loopback address (127.0.0.2 ...)
  early=K:N          before block K (1-based count) send a DATA packet numbered N holding
                     junk (a skipped, reordered or late block); K may name several: early=K:N,K:N
  numberskip=K       number block K one higher (a block the server skipped), resent so
  injectsize=N       the foreign DATA packet of inject= is N bytes long
  tsize=N            announce this size in an echoed OACK instead of the file's
  Windowed sending (when the OACK echoes a windowsize): the server sends a window, waits for
  an ACK and goes on after the block acknowledged, resending the window when none comes.
  drop=K[,K]         leave block K out the first time it is sent
  dup=K[,K]          send block K twice in a row the first time
  swap=K[,K]         send block K+1 before block K the first time
  ignoreack=N        take no notice of the first ACK N (as if it was lost)
  
Record lines (RECORDFILE, one per packet received, appended at once):
  rrq FILE MODE OPTNAME=VALUE ...
  ack N            (transfer port)
  error CODE TEXT  (transfer port)
  foreign error CODE TEXT / foreign other HEX   (what the foreign injecting port got)
  other HEX        anything else on the transfer port
  done             a transfer ended (last ACK seen)
"""
import os
import select
import socket
import struct
import sys
import time

RESEND_AFTER = 1.0
RESEND_TRIES = 5


def parse_behaviour(args):
    b = {}
    for a in args:
        k, _, v = a.partition('=')
        b[k] = v
    return b


class Recorder:
    """Appends record lines to a file at once. ACKs are many: they are written through one
    open file, flushed line by line."""

    def __init__(self, path):
        self.file = open(path, 'a', encoding='latin-1')

    def __call__(self, line):
        self.file.write(line + '\n')
        self.file.flush()

    def ack(self, number):
        self('ack %d' % number)


def describe(pkt):
    if len(pkt) >= 4:
        op, n = struct.unpack('!HH', pkt[:4])
        if op == 4 and len(pkt) == 4:
            return 'ack %d' % n
        if op == 5:
            return 'error %d %s' % (n, pkt[4:].split(b'\0')[0].decode('latin-1'))
    return 'other ' + pkt.hex()


def parse_rrq(pkt):
    fields = pkt[2:].split(b'\0')
    name = fields[0].decode('latin-1')
    mode = fields[1].decode('latin-1') if len(fields) > 1 else ''
    opts = {}
    rest = fields[2:]
    for i in range(0, len(rest) - 1, 2):
        if rest[i]:
            opts[rest[i].decode('latin-1').lower()] = rest[i + 1].decode('latin-1')
    return name, mode, opts


class Transfer:
    def __init__(self, behaviour, record, client, data, opts):
        self.b = behaviour
        self.record = record
        self.client = client
        self.data = data
        self.opts = opts
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((behaviour.get('replyfrom', '127.0.0.1'), 0))

    def close(self):
        self.sock.close()

    def wait_for(self, want, resend):
        """Sends `resend`, then waits for ACK `want` from the client; resends when late.
        Returns True when it came."""
        expected = struct.pack('!HH', 4, want)
        for _ in range(RESEND_TRIES):
            self.sock.sendto(resend, self.client)
            end = time.monotonic() + RESEND_AFTER
            while True:
                left = end - time.monotonic()
                if left <= 0:
                    break
                self.sock.settimeout(left)
                try:
                    pkt, addr = self.sock.recvfrom(70000)
                except socket.timeout:
                    break
                if addr != self.client:
                    continue
                if pkt == expected:
                    self.record.ack(want)
                    return True
                self.record(describe(pkt))
                if len(pkt) >= 2 and struct.unpack('!H', pkt[:2])[0] == 5:
                    return False
        return False

    def linger(self, seconds):
        """Records what the client sends for a while, answering nothing."""
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            self.sock.settimeout(left)
            try:
                pkt, addr = self.sock.recvfrom(70000)
            except socket.timeout:
                return
            self.record(describe(pkt))

    def inject(self, block):
        foreign = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        foreign.bind(('127.0.0.1', 0))
        length = int(self.b.get('injectsize', '68'))
        foreign.sendto((struct.pack('!HH', 3, block & 0xFFFF) + b'INJECTED' * (length // 8 + 1))[:length],
                       self.client)
        r, _, _ = select.select([foreign], [], [], 2.0)
        if r:
            pkt, _ = foreign.recvfrom(70000)
            self.record('foreign ' + describe(pkt))
        else:
            self.record('foreign nothing')
        foreign.close()

    def run(self):
        b = self.b
        if 'error' in b:
            code, _, text = b['error'].partition(':')
            self.sock.sendto(struct.pack('!HH', 5, int(code)) + text.encode('latin-1') + b'\0', self.client)
            self.linger(0.5)
            return
        size = 512
        oack = None
        window = 1
        if b.get('oack') == 'echo' and 'blksize' in self.opts:
            size = int(self.opts['blksize'])
            oack = b'blksize\0' + str(size).encode() + b'\0'
            if 'windowsize' in self.opts:
                window = int(self.opts['windowsize'])
                oack += b'windowsize\0' + str(window).encode() + b'\0'
            if 'tsize' in self.opts:
                oack += b'tsize\0' + b.get('tsize', str(len(self.data))).encode() + b'\0'
        elif b.get('oack') and b.get('oack') != 'echo':
            name, _, value = b['oack'].partition(':')
            oack = name.encode('latin-1') + b'\0' + value.encode('latin-1') + b'\0'
            if name.lower() == 'blksize' and value.isdigit():
                size = int(value)
        elif 'oackhex' in b:
            oack = bytes.fromhex(b['oackhex'])
        if 'blksize' in b:
            size = int(b['blksize'])
        stop_after = int(b['stopafter']) if 'stopafter' in b else None
        raw_after = None
        if 'rawafter' in b:
            k, _, hexbytes = b['rawafter'].partition(':')
            raw_after = (int(k), bytes.fromhex(hexbytes))
        repeat = int(b['repeat']) if 'repeat' in b else None
        inject = int(b['inject']) if 'inject' in b else None
        late_oack = int(b['lateoack']) if 'lateoack' in b else None
        wrap_to = int(b.get('wrapto', '0'))

        if oack is not None:
            if not self.wait_for(0, struct.pack('!H', 6) + oack):
                return
        if raw_after and raw_after[0] == 0:
            self.sock.sendto(raw_after[1], self.client)
            self.linger(1.0)
            return

        if window > 1:
            self.run_windowed(size, window, wrap_to)
            return
        early = {}
        for item in filter(None, b.get('early', '').split(',')):
            k, _, n = item.partition(':')
            early[int(k)] = int(n)
        number_skip = int(b['numberskip']) if 'numberskip' in b else None
        offset = 0
        count = 0   # blocks sent
        number = 0  # wire number of the last block
        while True:
            chunk = self.data[offset:offset + size]
            offset += len(chunk)
            count += 1
            number = number + 1 if number < 65535 else wrap_to
            if number_skip == count:
                number = (number + 1) & 0xFFFF
            if count in early:
                self.sock.sendto(struct.pack('!HH', 3, early[count]) + b'J' * size, self.client)
            pkt = struct.pack('!HH', 3, number) + chunk
            if not self.wait_for(number, pkt):
                return
            last = len(chunk) < size
            if repeat == count:
                if not self.wait_for(number, pkt):
                    return
            if late_oack == count:
                self.sock.sendto(struct.pack('!H', 6) + (oack or b'blksize\x001024\x00'), self.client)
            if stop_after == count:
                self.linger(3.0)
                return
            if raw_after and raw_after[0] == count:
                self.sock.sendto(raw_after[1], self.client)
                self.linger(1.0)
                return
            if last:
                self.record('done')
                if 'repeatlast' in b:
                    self.sock.sendto(pkt, self.client)
                    self.linger(1.0)
                return
            if inject == count:
                self.inject(number + 1 if number < 65535 else wrap_to)


    def run_windowed(self, size, window, wrap_to):
        """RFC 7440 sending: a window of blocks per ACK; after ACK n the next window starts at
        the block after n."""
        b = self.b
        faults = {k: set(int(x) for x in b[k].split(',')) for k in ('drop', 'dup', 'swap') if k in b}
        ignore_ack = int(b['ignoreack']) if 'ignoreack' in b else None
        total = len(self.data) // size + 1
        numbers = [0]
        for _ in range(total):
            numbers.append(numbers[-1] + 1 if numbers[-1] < 65535 else wrap_to)
        acked = 0  # blocks the client acknowledged
        tries = 0
        while acked < total:
            end = min(acked + window, total)
            order = list(range(acked + 1, end + 1))
            for k in list(order):
                if k in faults.get('drop', ()):
                    faults['drop'].discard(k)
                    order.remove(k)
            for k in list(faults.get('swap', ())):
                if k in order and k + 1 in order:
                    i = order.index(k)
                    order[i], order[i + 1] = order[i + 1], order[i]
                    faults['swap'].discard(k)
            for k in order:
                pkt = struct.pack('!HH', 3, numbers[k]) + self.data[(k - 1) * size:k * size]
                self.sock.sendto(pkt, self.client)
                if k in faults.get('dup', ()):
                    faults['dup'].discard(k)
                    self.sock.sendto(pkt, self.client)
            got = None
            deadline = time.monotonic() + RESEND_AFTER
            while got is None:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.sock.settimeout(left)
                try:
                    pkt, addr = self.sock.recvfrom(70000)
                except socket.timeout:
                    break
                if addr != self.client:
                    continue
                self.record(describe(pkt))
                if len(pkt) == 4 and struct.unpack('!H', pkt[:2])[0] == 4:
                    n = struct.unpack('!H', pkt[2:])[0]
                    if n == ignore_ack:
                        ignore_ack = None
                        continue
                    for k in range(acked, end + 1):
                        if numbers[k] == n:
                            got = k
                            break
                elif len(pkt) >= 2 and struct.unpack('!H', pkt[:2])[0] == 5:
                    return
            if got is None:
                tries += 1
                if tries >= RESEND_TRIES:
                    return
                continue
            tries = 0
            acked = got
        self.record('done')
        if 'repeatlast' in b:
            k = total
            self.sock.sendto(struct.pack('!HH', 3, numbers[k]) + self.data[(k - 1) * size:k * size], self.client)
            self.linger(1.0)


def main():
    root, portfile, recordfile = sys.argv[1:4]
    behaviour = parse_behaviour(sys.argv[4:])
    record = Recorder(recordfile)
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(('127.0.0.1', 0))
    tmp = portfile + '.tmp'
    with open(tmp, 'w') as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(tmp, portfile)
    parent = os.getppid()
    listener.settimeout(1.0)
    while True:
        try:
            pkt, client = listener.recvfrom(70000)
        except socket.timeout:
            # A test that died without stopping us leaves us to the init process: end too.
            if os.getppid() != parent:
                return
            continue
        if len(pkt) < 2 or struct.unpack('!H', pkt[:2])[0] != 1:
            record('listener ' + describe(pkt))
            continue
        name, mode, opts = parse_rrq(pkt)
        record('rrq %s %s %s' % (name, mode, ' '.join('%s=%s' % kv for kv in opts.items())))
        if 'silence' in behaviour:
            continue
        path = os.path.join(root, os.path.basename(name))
        transfer = None
        try:
            if not os.path.isfile(path) and 'error' not in behaviour:
                behaviour_here = dict(behaviour, error='1:File not found')
            else:
                behaviour_here = behaviour
            data = b''
            if os.path.isfile(path):
                with open(path, 'rb') as f:
                    data = f.read()
            transfer = Transfer(behaviour_here, record, client, data, opts)
            transfer.run()
        finally:
            if transfer:
                transfer.close()


if __name__ == '__main__':
    main()
