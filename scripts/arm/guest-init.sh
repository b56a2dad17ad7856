#!/bin/busybox sh
# /init of the emulated ARM machine (busybox): serves a small tree on
# loopback as root and as nobody, checks the answers, the confinement of the
# parent and a worker, that no call was refused or killed, a sparse file
# over 4 GiB, and runs the unit tests; then powers off. The host reads the
# lines "=== FAIL: ..." and "=== end".
export PATH=/bin
/bin/busybox mkdir -p /proc /sys /dev /tmp /etc /srv
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t tracefs tracefs /sys/kernel/tracing
mount -t tmpfs -o mode=1777 tmpfs /tmp
ip link set lo up
echo 'root:x:0:0:root:/:/bin/sh' > /etc/passwd
echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >> /etc/passwd

say() { echo "=== $*"; }
fail() { say "FAIL: $*"; }
say "$(uname -srm)"

mkdir -p /tmp/www/sub /tmp/www/site
echo 'hello' > /tmp/www/hello.txt
echo 'inner' > /tmp/www/sub/inner.txt
echo '<h1>index</h1>' > /tmp/www/site/index.html
# Over 4 GiB, so that no 32-bit size or offset can hold it; sparse, on tmpfs.
truncate -s 4294971393 /tmp/www/large.bin
# A listing far larger than what a connection queues: its worker waits on
# a client that does not read (a file's download it would hand back to the
# server process).
mkdir -p /tmp/www/many
i=0
while [ $i -lt 1500 ]; do
    : > /tmp/www/many/$i-nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn
    i=$((i + 1))
done
chmod -R a+rX /tmp/www

# Every EPERM a server process is given (what the filter refuses) and every
# SIGSYS (what it kills), from the first start on.
T=/sys/kernel/tracing
echo 'ret == -1 && comm == "quillbarrow"' > $T/events/raw_syscalls/sys_exit/filter
echo 1 > $T/events/raw_syscalls/sys_exit/enable
echo 'sig == 31' > $T/events/signal/signal_generate/filter
echo 1 > $T/events/signal/signal_generate/enable

# expect PORT REQUEST PATTERN...: every pattern must be a line of the answer
expect() {
    port=$1 request=$2
    shift 2
    /guest-helper fetch "$port" "$request" > /tmp/answer
    for line in "$@"; do
        grep -qxF "$line" /tmp/answer || { fail "$request: no line '$line'"; sed 's/^/  | /' /tmp/answer; }
    done
}

seccomp_of() { grep -E '^Seccomp:' /proc/$1/status | tr -d ' \t'; }
# The real, effective, saved and file-system user: nobody's, whoever started it.
uid_of() { grep -E '^Uid:' /proc/$1/status | tr -s ' \t' ' '; }
nobody_uid='Uid: 65534 65534 65534 65534'


serve() {
    who=$1 port=$2
    if [ "$who" = root ]; then
        /quillbarrow "$port" /tmp/www > /tmp/out.$port 2> /tmp/err.$port &
    else
        /guest-helper as-nobody /quillbarrow "$port" /tmp/www > /tmp/out.$port 2> /tmp/err.$port &
    fi
    pid=$!
    i=0
    while ! grep -q serving /tmp/out.$port && [ -d /proc/$pid ] && [ $i -lt 600 ]; do
        usleep 100000; i=$((i + 1))
    done
    grep -q serving /tmp/out.$port || fail "$who: no banner"
    [ -s /tmp/err.$port ] && { fail "$who: start-up printed:"; sed 's/^/  | /' /tmp/err.$port; }

    ok='HTTP/1.1 200 OK'
    expect "$port" 'GET /hello.txt HTTP/1.1\r\n\r\n' "$ok" 'Content-Length: 6' 'hello'
    expect "$port" 'HEAD /hello.txt HTTP/1.1\r\n\r\n' "$ok" 'Content-Length: 6' 'body: 0'
    expect "$port" 'GET / HTTP/1.1\r\n\r\n' "$ok" '<a href="/hello.txt">hello.txt</a>'
    expect "$port" 'GET /sub/ HTTP/1.1\r\n\r\n' "$ok" '<a href="/sub/inner.txt">inner.txt</a>'
    expect "$port" 'GET /site HTTP/1.1\r\n\r\n' 'HTTP/1.1 301 moved permanently' 'Location: /site/'
    expect "$port" 'GET /site/ HTTP/1.1\r\n\r\n' "$ok" '<h1>index</h1>'
    expect "$port" 'GET /missing HTTP/1.1\r\n\r\n' 'HTTP/1.1 404 not found'
    expect "$port" 'GET /../etc/passwd HTTP/1.1\r\n\r\n' 'HTTP/1.1 403 forbidden'
    expect "$port" 'HEAD /large.bin HTTP/1.1\r\n\r\n' "$ok" 'Content-Length: 4294971393'

    [ "$(seccomp_of $pid)" = Seccomp:2 ] || fail "$who: parent $(seccomp_of $pid)"
    [ "$(uid_of $pid)" = "$nobody_uid" ] || fail "$who: parent $(uid_of $pid)"
    /guest-helper hold "$port" 3 &
    hold=$!
    sleep 1
    workers=0
    for status in /proc/[0-9]*/status; do
        grep -q "^PPid:.$pid\$" "$status" 2>/dev/null || continue
        workers=$((workers + 1))
        w=${status#/proc/}; w=${w%/status}
        [ "$(seccomp_of $w)" = Seccomp:2 ] || fail "$who: worker $(seccomp_of $w)"
        [ "$(uid_of $w)" = "$nobody_uid" ] || fail "$who: worker $(uid_of $w)"
    done
    [ "$workers" -ge 1 ] || fail "$who: no worker for a client that does not read a listing"
    wait $hold
    say "served as $who on port $port, parent and $workers busy worker checked"
}

serve root 8080
say "sending a file of 4 GiB and 4097 bytes"
expect 8080 'GET /large.bin HTTP/1.1\r\n\r\n' 'HTTP/1.1 200 OK' 'Content-Length: 4294971393' \
    'body: 4294971393' 'nonzero: 0'
kill -TERM $pid
serve nobody 8081
kill -TERM $pid
sleep 1

echo 0 > $T/events/raw_syscalls/sys_exit/enable
echo 0 > $T/events/signal/signal_generate/enable
if grep -qE 'sys_exit|signal_generate' $T/trace; then
    fail "calls refused (EPERM) or killed (SIGSYS) in the server's processes:"
    grep -E 'sys_exit|signal_generate' $T/trace | sed 's/^/  | /'
fi

say "unit tests"
cd /tmp && /unit_tests > /tmp/unit.txt 2>&1
status=$?
grep -E '^\[  (PASSED|FAILED|  SKIPPED) |^\[==========\]' /tmp/unit.txt
[ $status = 0 ] || { fail "unit tests exit $status"; grep -B5 'FAILED ' /tmp/unit.txt | head -40; }
say "end"
poweroff -f
