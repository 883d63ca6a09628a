#!/usr/bin/python3
# Stands in front of OpenSSH's SFTP server and passes its answers on at a limited rate,
# so that tests can act while a file is still on its way (cut the connection, abort).
import os, subprocess, sys, threading, time

rate = int(sys.argv[1])
server = subprocess.Popen(["/usr/lib/openssh/sftp-server"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)

def requests():
    while True:
        data = os.read(0, 65536)
        if not data:
            break
        server.stdin.write(data)
    server.stdin.close()

threading.Thread(target=requests, daemon=True).start()
chunk = max(1, rate // 20)
while True:
    data = os.read(server.stdout.fileno(), chunk)
    if not data:
        break
    os.write(1, data)
    time.sleep(len(data) / rate)
