#!/usr/bin/python3
# Stands in front of OpenSSH's SFTP server and bends what a real server would not:
#   slow_sftp_relay.py RATE [CAP [CUT]]
# RATE: bytes a second its answers are passed on at (0: at once), so that tests can act while
# a file is still on its way; CAP: the most bytes a read request may ask for (0: as asked),
# as servers do that answer large reads in smaller pieces; CUT: after this many bytes of
# answers (0: never) it ends at once, as a server's SFTP program that dies halfway through an
# answer, while the client still has answers of it to read.
import os, struct, subprocess, sys, threading, time

rate = int(sys.argv[1])
cap = int(sys.argv[2]) if len(sys.argv) > 2 else 0
cut = int(sys.argv[3]) if len(sys.argv) > 3 else 0
server = subprocess.Popen(["/usr/lib/openssh/sftp-server"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
SSH_FXP_READ = 5

def read_exact(n):
    data = b""
    while len(data) < n:
        more = os.read(0, n - len(data))
        if not more:
            return None
        data += more
    return data

def requests():
    while True:
        head = read_exact(4)
        if head is None:
            break
        body = read_exact(struct.unpack(">I", head)[0])
        if body is None:
            break
        if cap and body[0] == SSH_FXP_READ:
            asked = struct.unpack(">I", body[-4:])[0]
            body = body[:-4] + struct.pack(">I", min(asked, cap))
        server.stdin.write(head + body)
    server.stdin.close()

threading.Thread(target=requests, daemon=True).start()
chunk = max(1, rate // 20) if rate else 65536
passed = 0
while True:
    data = os.read(server.stdout.fileno(), chunk)
    if not data:
        break
    if cut and passed + len(data) >= cut:
        os.write(1, data[:cut - passed])
        os._exit(0)
    os.write(1, data)
    passed += len(data)
    if rate:
        time.sleep(len(data) / rate)
