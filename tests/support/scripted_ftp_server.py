#!/usr/bin/python3
"""A scripted FTP server for tests: it plays one control session from a script and records
every command line it receives, so that tests can produce replies and failures a real
server will not give on request.

Usage: scripted_ftp_server.py SCRIPT PORTFILE RECORDFILE

The server listens on 127.0.0.1 on a port of the system's choosing, writes that port to
PORTFILE (written to a temporary name and renamed, so a reader never sees half a number),
accepts one control connection and runs SCRIPT, one step per line:

  send TEXT        send TEXT followed by CR LF (\\r, \\n, \\0, \\xHH and \\\\ are unescaped first)
  raw TEXT         send TEXT as it stands after unescaping, without a line end
  expect PREFIX    read one command line; it must start with PREFIX (case ignored), else the
                   server records "!unexpected" and stops
  pasv TEXT        open a data listener on 127.0.0.1 and send TEXT with {p1} and {p2}
                   replaced by the high and low byte of its port (then CR LF)
  accept           accept the client's data connection on that listener
  connect          connect to the address of the last PORT command received
  data TEXT        send TEXT (unescaped) over the data connection
  datafile PATH    send the bytes of file PATH over the data connection
  dataclose        close the data connection
  datawait         wait until the client closes the data connection (reads and discards)
  sleep MS         wait MS milliseconds
  close            close the control connection and stop
  delay MS         wait MS milliseconds before every later reply (a slow server)
  steal TEXT       from 127.0.0.2, connect to the address of the last PORT command received,
                   send TEXT (unescaped) and close: a third party taking the data port
  serve DIR        from here on be a small FTP server over the files of DIR (greeting, USER,
                   PASS, TYPE, CWD, PWD, NOOP, PASV, PORT, NLST, LIST, SIZE, MDTM, REST,
                   FEAT and MLST (see "mlst"),
                   RETR, DELE, QUIT), with
                   the faults named by earlier "fault" steps
  fault VERB ARG ACTION  in serve mode, answer the command VERB ARG (ARG "*": any) by
                   ACTION instead: "reply TEXT" (only that reply, unescaped), "cutdata" (150, half the
                   data, close everything), "cutcontrol" (150, then close the control
                   connection), "late" (the data, and the 226 a second after the data
                   connection closed), "code250" (250 instead of 226), "stall" (150, half the
                   data, then nothing more: the data connection stays open and commands are
                   recorded without an answer), "crlisting" (a
                   listing whose lines end with a lone CR), for PASV "foreign" (a 227
                   naming 10.1.2.3 with the real port), for RETR "steal" (in active mode a
                   third party from 127.0.0.2 connects to the client's port first), for RETR
                   "cutat PCT" (150, PCT percent of the data, close everything), "trickle MS"
                   (the data in 20 pieces MS milliseconds apart: slow, never silent), "short" (all
                   but the last tenth of the data, then 226), "long" (the data and a tenth
                   more, then 226: a file written to between SIZE and RETR), "grow" (the data, then bytes
                   added to the file, then 226: another system still writing it), for NLST,
                   LIST and MLSD "grow NAME" (the same with file NAME of the served folder,
                   after the listing), for NLST and LIST "text TEXT" (TEXT, unescaped, as the
                   data: what a server's ls says of a name it cannot list, say); each fault
                   fires once, "later KIND" (KIND at the command's second match) too
  symlink NAME TARGET  in serve mode, a link NAME to TARGET in the served folder (made when
                   serving starts; TARGET may be missing: a link that leads nowhere)
  listextra PATH   in serve mode, list the lines of file PATH (read as Latin-1) among the
                   folder's names: names of no file (unsafe ones, say)
  mlst             in serve mode, answer FEAT with a list naming MLST (with the size and modify
                   facts) and MLST NAME with the facts of NAME; without it FEAT is not implemented
  mlsd             with "mlst", answer MLSD too: a line of facts, as MLST gives them, for every
                   name of the served folder
  mlstlinks        as "mlst", but MLST of a link gives the link's own size and time with its
                   target's type, as one real server does (SIZE, MDTM and RETR follow the link)
  strict           from here on a command line must arrive in one read, as some servers
                   demand: a line whose rest (its LF, say) comes in a later read is recorded as
                   "!split LINE" and never answered
  resetdata        close the data connection with a reset (RST) instead of an orderly close
  hold             keep reading and recording commands without answering until the client
                   closes the connection
  sessions N       in serve mode, once a session ends accept up to N further control
                   connections and serve each the same way (a fault that fired stays fired);
                   "!session" is recorded at the start of each

In serve mode LIST answers as "ls -l" would; LIST NAME follows a link, so a link that leads
nowhere lists nothing there, only in the folder's own LIST.

When the script ends, the server goes on recording commands (without answering) until the
client closes the control connection. Every received command line is appended to
RECORDFILE at once, without its line end; "!eof" marks the client's close.
"""
import os
import socket
import struct
import sys
import time


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == '\\' and text[i + 1:i + 2] == 'x' and len(text) >= i + 4:
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        elif c == '\\' and i + 1 < len(text):
            n = text[i + 1]
            out.append({'r': '\r', 'n': '\n', '0': '\0', '\\': '\\'}.get(n, n))
            i += 2
        else:
            out.append(c)
            i += 1
    return ''.join(out).encode('latin-1')


class Session:
    def __init__(self, conn, record_path):
        self.conn = conn
        self.pending = b''
        self.record = open(record_path, 'a', buffering=1, encoding='latin-1')
        self.listener = None
        self.data = None
        self.last_port = None
        self.delay = 0.0
        self.faults = []
        self.links = []
        self.extra_names = []
        self.more_sessions = 0
        self.rest = 0
        self.served = None
        self.strict = False
        self.mlst = False
        self.mlsd = False

    def note(self, line):
        self.record.write(line + '\n')
        self.record.flush()

    def send(self, payload):
        if self.delay:
            time.sleep(self.delay)
        self.conn.sendall(payload)

    def reply(self, text):
        self.send(text.encode('latin-1') + b'\r\n')

    def open_data(self):
        if self.listener is not None:
            self.listener.settimeout(20)
            self.data, _ = self.listener.accept()
            self.listener.close()
            self.listener = None
        else:
            nums = [int(n) for n in self.last_port.split(',')]
            host = '.'.join(str(n) for n in nums[:4])
            self.data = socket.create_connection((host, nums[4] * 256 + nums[5]), timeout=20)

    def steal(self, payload):
        nums = [int(n) for n in self.last_port.split(',')]
        host = '.'.join(str(n) for n in nums[:4])
        thief = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        thief.bind(('127.0.0.2', 0))
        thief.connect((host, nums[4] * 256 + nums[5]))
        thief.sendall(payload)
        thief.close()

    def close_data(self):
        if self.data is not None:
            self.data.close()
            self.data = None

    def take_fault(self, verb, arg):
        for f in self.faults:
            if f[0] == verb and f[1] in ('*', arg):
                if f[2].startswith('later '):
                    self.faults[self.faults.index(f)] = (f[0], f[1], f[2][6:])
                    return None
                self.faults.remove(f)
                return f[2]
        return None

    @staticmethod
    def long_listing(root, arg):
        # As "ls -l" would print it. A name given alone is followed when it is a link, so a
        # link that leads nowhere lists nothing (as some servers do); the folder's own
        # listing shows every link with its target.
        def line(name, follow):
            path = os.path.join(root, name)
            if os.path.islink(path) and not follow:
                kind, tail = 'l', ' -> ' + os.readlink(path)
            else:
                kind, tail = ('d' if os.path.isdir(path) else '-'), ''
            size = os.path.getsize(path) if kind == '-' else 0
            return '%srwxr-xr-x 1 owner group %d Jan  1 00:00 %s%s\r\n' % (kind, size, name, tail)
        if arg and not arg.startswith('-'):
            if '/' in arg or not os.path.exists(os.path.join(root, arg)):
                return b''
            return line(arg, True).encode('latin-1')
        return ''.join(line(n, False) for n in sorted(os.listdir(root))).encode('latin-1')

    def serve(self, root):
        self.reply('220 scripted server ready')
        while True:
            line = self.read_line()
            if line is None:
                self.note('!eof')
                return
            self.note(line)
            verb, _, arg = line.partition(' ')
            verb = verb.upper()
            fault = self.take_fault(verb, arg)
            if fault and fault.startswith('reply '):
                self.send(unescape(fault[6:]) + b'\r\n')
                if fault[6:9] == '421':
                    self.conn.close()
                    self.note('!closed')
                    return
                continue
            if verb == 'USER':
                self.reply('331 password please')
            elif verb == 'PASS':
                self.reply('230 logged in')
            elif verb in ('TYPE', 'NOOP'):
                self.reply('200 ok')
            elif verb == 'CWD':
                target = os.path.join(root, arg)
                if os.path.isfile(target) or (os.path.islink(target) and not os.path.exists(target)):
                    self.reply('550 not a folder')
                else:
                    self.reply('250 ok')
            elif verb == 'PWD':
                self.reply('257 "/"')
            elif verb == 'PASV':
                self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                self.listener.bind(('127.0.0.1', 0))
                self.listener.listen(1)
                port = self.listener.getsockname()[1]
                host = '10,1,2,3' if fault == 'foreign' else '127,0,0,1'
                self.reply('227 Entering Passive Mode (%s,%d,%d)' % (host, port >> 8, port & 255))
            elif verb == 'PORT':
                self.reply('200 ok')
            elif verb == 'FEAT' and self.mlst:
                self.send(b'211-Features:\r\n MDTM\r\n MLST type*;size*;modify*;\r\n SIZE\r\n211 End\r\n')
            elif verb == 'MLST' and self.mlst:
                path = os.path.join(root, arg)
                if '/' in arg or not os.path.exists(path):
                    self.reply('550 no such file')
                else:
                    facts = self.facts(path)
                    self.send(('250-Listing %s\r\n %s %s\r\n250 End\r\n' % (arg, facts, arg)).encode('latin-1'))
            elif verb in ('SIZE', 'MDTM'):
                path = os.path.join(root, arg)
                if '/' in arg or not os.path.isfile(path):
                    self.reply('550 no such file')
                elif verb == 'SIZE':
                    self.reply('213 %d' % os.path.getsize(path))
                else:
                    self.reply('213 ' + time.strftime('%Y%m%d%H%M%S', time.gmtime(os.stat(path).st_mtime)))
            elif verb == 'REST':
                self.rest = int(arg)
                self.reply('350 restarting at %d' % self.rest)
            elif verb in ('NLST', 'LIST', 'RETR') or (verb == 'MLSD' and self.mlsd):
                if verb == 'RETR':
                    path = os.path.join(root, arg)
                    if '/' in arg or not os.path.isfile(path):
                        self.reply('550 no such file')
                        continue
                    with open(path, 'rb') as f:
                        payload = f.read()[self.rest:]
                    self.rest = 0
                elif verb == 'LIST':
                    payload = self.long_listing(root, arg)
                elif verb == 'MLSD':
                    payload = ''.join('%s %s\r\n' % (self.facts(os.path.join(root, n)), n)
                                      for n in sorted(os.listdir(root))).encode('latin-1')
                else:
                    end = '\r' if fault == 'crlisting' else '\r\n'
                    names = sorted(os.listdir(root) + self.extra_names)
                    payload = ''.join(n + end for n in names).encode('latin-1')
                if verb != 'RETR' and (fault or '').startswith('text '):
                    payload = unescape(fault[5:])
                self.reply('150 opening data connection')
                if fault == 'steal' and self.listener is None:
                    self.steal(b'stolen bytes')
                self.open_data()
                if fault == 'cutdata' or (fault or '').startswith('cutat '):
                    pct = 50 if fault == 'cutdata' else int(fault[6:])
                    self.data.sendall(payload[:len(payload) * pct // 100])
                    self.close_data()
                    self.conn.close()
                    self.note('!closed')
                    return
                if fault == 'stall':
                    self.data.sendall(payload[:len(payload) // 2])
                    self.drain()
                    self.close_data()
                    return
                if fault == 'cutcontrol':
                    self.conn.close()
                    self.note('!closed')
                    self.close_data()
                    return
                if (fault or '').startswith('trickle '):
                    pause = int(fault[8:]) / 1000.0
                    step = max(1, len(payload) // 20)
                    pieces = [payload[i:i + step] for i in range(0, len(payload), step)] or [b'']
                    for piece in pieces[:-1]:
                        self.data.sendall(piece)
                        time.sleep(pause)
                    payload = pieces[-1]
                if fault == 'short':
                    payload = payload[:len(payload) - len(payload) // 10]
                if fault == 'long':
                    payload = payload + payload[:len(payload) // 10]
                self.data.sendall(payload)
                self.close_data()
                if fault == 'grow' or (fault or '').startswith('grow '):
                    grown = os.path.join(root, arg if fault == 'grow' else fault[5:])
                    with open(grown, 'ab') as f:
                        f.write(b'more lines from the writer\r\n')
                    # A later modification time, as a writer gives it a second on.
                    st = os.stat(grown)
                    os.utime(grown, (st.st_atime, st.st_mtime + 5))
                final = '250 done' if fault == 'code250' else '226 transfer complete'
                if fault == 'late':
                    time.sleep(1.0)
                self.reply(final)
            elif verb == 'DELE':
                path = os.path.join(root, arg)
                if '/' not in arg and os.path.isfile(path):
                    os.remove(path)
                    self.reply('250 deleted')
                else:
                    self.reply('550 no such file')
            elif verb == 'QUIT':
                self.reply('221 bye')
                self.conn.close()
                self.note('!closed')
                return
            else:
                self.reply('502 not implemented')

    def facts(self, path):
        """The MLST facts of PATH: its own for a link in "mlstlinks" mode, else what it leads to."""
        st = os.lstat(path) if self.mlst == 'links' else os.stat(path)
        return 'type=%s;size=%d;modify=%s;' % ('dir' if os.path.isdir(path) else 'file', st.st_size,
                                              time.strftime('%Y%m%d%H%M%S', time.gmtime(st.st_mtime)))

    def read_line(self):
        """One command line without its line end, or None when the client closed."""
        reads = 1 if self.pending else 0  # a line begun in an earlier read
        while b'\n' not in self.pending:
            try:
                chunk = self.conn.recv(4096)
            except OSError:
                chunk = b''
            if not chunk:
                return None
            reads += 1
            self.pending += chunk
        line, self.pending = self.pending.split(b'\n', 1)
        text = line.rstrip(b'\r').decode('latin-1')
        if self.strict and reads > 1:
            self.note('!split ' + text)
            return self.read_line()
        if text.upper().startswith('PORT '):
            self.last_port = text[5:]
        return text

    def drain(self):
        while True:
            line = self.read_line()
            if line is None:
                self.note('!eof')
                return
            self.note(line)

    def run(self, steps):
        for raw_step in steps:
            step = raw_step.rstrip('\n')
            if not step.strip() or step.startswith('#'):
                continue
            verb, _, arg = step.partition(' ')
            if verb == 'send':
                self.send(unescape(arg) + b'\r\n')
            elif verb == 'raw':
                self.send(unescape(arg))
            elif verb == 'expect':
                line = self.read_line()
                if line is None:
                    self.note('!eof')
                    return
                self.note(line)
                if not line.upper().startswith(arg.upper()):
                    self.note('!unexpected')
                    return
            elif verb == 'pasv':
                self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                self.listener.bind(('127.0.0.1', 0))
                self.listener.listen(1)
                port = self.listener.getsockname()[1]
                text = arg.replace('{p1}', str(port >> 8)).replace('{p2}', str(port & 255))
                self.send(unescape(text) + b'\r\n')
            elif verb == 'accept':
                self.listener.settimeout(20)
                self.data, _ = self.listener.accept()
                self.listener.close()
                self.listener = None
            elif verb == 'connect':
                nums = [int(n) for n in self.last_port.split(',')]
                host = '.'.join(str(n) for n in nums[:4])
                self.data = socket.create_connection((host, nums[4] * 256 + nums[5]), timeout=20)
            elif verb == 'data':
                self.data.sendall(unescape(arg))
            elif verb == 'datafile':
                with open(arg, 'rb') as f:
                    self.data.sendall(f.read())
            elif verb == 'dataclose':
                self.data.close()
                self.data = None
            elif verb == 'datawait':
                self.data.settimeout(20)
                try:
                    while self.data.recv(65536):
                        pass
                except OSError:
                    pass
                self.data.close()
                self.data = None
            elif verb == 'sleep':
                time.sleep(int(arg) / 1000.0)
            elif verb == 'close':
                self.conn.close()
                self.note('!closed')
                return
            elif verb == 'delay':
                self.delay = int(arg) / 1000.0
            elif verb == 'fault':
                parts = arg.split(' ', 2)
                self.faults.append((parts[0].upper(), parts[1], parts[2]))
            elif verb == 'symlink':
                self.links.append(arg.split(' ', 1))
            elif verb == 'listextra':
                with open(arg, encoding='latin-1', newline='') as f:
                    self.extra_names = f.read().split('\n')[:-1]
            elif verb == 'sessions':
                self.more_sessions = int(arg)
            elif verb == 'serve':
                self.served = arg
                for name, target in self.links:
                    if not os.path.lexists(os.path.join(arg, name)):
                        os.symlink(target, os.path.join(arg, name))
                self.serve(arg)
                return
            elif verb == 'steal':
                self.steal(unescape(arg))
            elif verb == 'hold':
                self.drain()
                return
            elif verb == 'strict':
                self.strict = True
            elif verb == 'mlst':
                self.mlst = True
            elif verb == 'mlsd':
                self.mlsd = True
            elif verb == 'mlstlinks':
                self.mlst = 'links'
            elif verb == 'resetdata':
                self.data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
                self.data.close()
                self.data = None
            else:
                self.note('!badstep ' + step)
                return
        self.drain()


def main():
    script_path, port_path, record_path = sys.argv[1:4]
    with open(script_path, encoding='latin-1') as f:
        steps = f.readlines()
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(('127.0.0.1', 0))
    server.listen(1)
    tmp = port_path + '.tmp'
    with open(tmp, 'w') as f:
        f.write(str(server.getsockname()[1]))
    os.rename(tmp, port_path)
    conn, _ = server.accept()
    if not any(step.startswith('sessions ') for step in steps):
        server.close()  # a second connection is refused at once
    # Each reply leaves at once: a small reply after an unacknowledged one would otherwise
    # wait for the client's delayed acknowledgement.
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    session = Session(conn, record_path)
    try:
        session.run(steps)
    except OSError as e:
        session.note('!error ' + str(e))
    try:
        conn.close()
    except OSError:
        pass
    while session.served is not None and session.more_sessions > 0:
        session.more_sessions -= 1
        conn, _ = server.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        session.conn, session.pending, session.listener, session.data = conn, b'', None, None
        session.note('!session')
        try:
            session.serve(session.served)
        except OSError as e:
            session.note('!error ' + str(e))
        try:
            conn.close()
        except OSError:
            pass
    server.close()


if __name__ == '__main__':
    main()
