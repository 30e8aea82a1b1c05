#!/usr/bin/env bash
# qel_sn --journal end to end, as root inside tools/pcsc-sandbox.sh (ctest -L e2e): two stations,
# each with a private systemd-journald in a namespace with its own host name
# (tools/journal-sandbox.sh), read dongles into their journals; systemd-journal-upload ships the
# entries to one systemd-journal-remote on the sandbox's loopback, where they are found by serial
# and by station. Two more stations take their journal away during a watch: one brings it back
# twice, the other stops the watch while an entry waits for it. A last one runs the watch as
# systemd runs its service, standard output and error a stream into the journal: a failed readout
# is one entry, with its hint.
#   tests/e2e/journal/check_journal.sh QEL_SN QEL_VCARD
set -euo pipefail
cd "$(dirname "$0")/../../.."
source scripts/deps.sh

readonly wait_s=20
readonly collector_port=19532

fail() {
    echo "FAIL: $*" >&2
    # What a station started would hold the test's output open.
    [ -z "${card_pid:-}" ] || kill "$card_pid" 2>/dev/null || true
    [ -z "${watch:-}" ] || kill "$watch" 2>/dev/null || true
    exit 1
}

wait_for_count() { # FILE TEXT COUNT: until FILE holds TEXT COUNT times
    for _ in $(seq $((wait_s * 20))); do
        [ "$(grep -c -F -- "$2" "$1" 2>/dev/null || true)" -ge "$3" ] && return 0
        sleep 0.05
    done
    return 1
}

# Entries of ours in the station's journal whose message holds TEXT, however many.
journal_count() { # TEXT
    journalctl -D "$QEL_JOURNAL_DIR" -o cat SYSLOG_IDENTIFIER=qel_sn 2>/dev/null |
        grep -c -F -- "$1" || true
}

wait_for_journal() { # TEXT COUNT
    for _ in $(seq $((wait_s * 20))); do
        [ "$(journal_count "$1")" -ge "$2" ] && return 0
        sleep 0.05
    done
    return 1
}

# A card in reader 0 until the next one: QEL_VCARD's options.
card_pid=
insert() {
    [ -n "$card_pid" ] && { kill "$card_pid" 2>/dev/null; wait "$card_pid" 2>/dev/null || true; }
    qel_wait_reader_empty "Virtual PCD 00 00" || fail "an earlier card is still in the reader"
    "$vcard" "$@" &
    card_pid=$!
}

remove_card() {
    kill "$card_pid" 2>/dev/null || true
    wait "$card_pid" 2>/dev/null || true
    qel_wait_reader_empty "Virtual PCD 00 00" || fail "$name: the card is still in the reader"
}

# --- one station, inside its journal sandbox -------------------------------------------------
if [ "${1:-}" = --station ]; then
    shift
    name=$1 work=$2 qel_sn=$3 vcard=$4
    cp "$qel_sn" "$work/$name/qel_sn"
    log="$work/$name/qel_sn.log"
    err="$work/$name/err"
    touch "$log"
    readouts=0
    read_dongle() { # SERIAL: in the reader, and read into the log file
        insert --serial "$1"
        readouts=$((readouts + 1))
        wait_for_count "$log" Finished "$readouts" || fail "$name: no readout of $1: $(cat "$err")"
    }
    # The notices of the journal on standard error, with nothing else.
    journal_notices() { grep journal "$err" || true; }
    not_written() { echo "qel_sn: journal entries not written ($1); the log file goes on"; }
    readonly refused="the journal cannot be reached: Connection refused"
    readonly no_socket="the journal cannot be reached: no socket at /run/systemd/journal/socket"
    readonly again="qel_sn: journal entries written again; none lost"

    # A watch started on the journal, its first readout there: $watch is its process.
    watch_with_a_readout() {
        "$work/$name/qel_sn" --watch --journal >"$work/$name/out" 2>"$err" &
        watch=$!
        read_dongle "$1"
        wait_for_journal "$1" 1 || fail "$name: the first readout is not in the journal"
    }

    if [ "$name" = station-c ]; then
        # The journal dies twice during a watch, and comes back: each outage is said as it begins
        # and as it ends, and the readouts meanwhile reach the journal when it is back.
        watch_with_a_readout 44444401
        tools/journal-sandbox.sh --journald crash
        read_dongle 44444402
        wait_for_count "$err" "$refused" 1 || fail "$name: the first outage is not said: $(cat "$err")"
        read_dongle 44444403
        tools/journal-sandbox.sh --journald start
        wait_for_count "$err" "$again" 1 || fail "$name: the first outage's end is not said: $(cat "$err")"
        wait_for_journal 44444403 1 || fail "$name: the readouts of the first outage are not in the journal"
        tools/journal-sandbox.sh --journald gone
        read_dongle 44444404
        wait_for_count "$err" "$no_socket" 1 || fail "$name: the second outage is not said: $(cat "$err")"
        tools/journal-sandbox.sh --journald start
        wait_for_count "$err" "$again" 2 || fail "$name: the second outage's end is not said: $(cat "$err")"
        read_dongle 44444405
        wait_for_journal 44444405 1 || fail "$name: the last readout is not in the journal"
        kill -TERM "$watch"
        status=0
        wait "$watch" || status=$?
        [ "$status" -eq 0 ] || fail "$name: the watch ended with $status: $(cat "$err")"
        [ "$(journal_notices)" = "$(not_written "$refused"; echo "$again"; not_written "$no_socket"; echo "$again")" ] ||
            fail "$name: the outages are said so: $(cat "$err")"
        serials=$(journalctl -D "$QEL_JOURNAL_DIR" -o json SYSLOG_IDENTIFIER=qel_sn |
            python3 -c 'import json,sys; print(" ".join(json.loads(l).get("QEL_SERIAL", "-") for l in sys.stdin))')
        [ "$serials" = "44444401 44444402 44444403 44444404 44444405" ] ||
            fail "$name: the journal has the readouts $serials"
        remove_card
        exit 0
    fi
    if [ "$name" = station-d ]; then
        # A watch stopped while its entry waits for a journal that is gone says what it leaves
        # unsent.
        watch_with_a_readout 55555501
        tools/journal-sandbox.sh --journald gone
        read_dongle 55555502
        wait_for_count "$err" "$no_socket" 1 || fail "$name: the outage is not said: $(cat "$err")"
        kill -TERM "$watch"
        status=0
        wait "$watch" || status=$?
        [ "$status" -eq 0 ] || fail "$name: the watch ended with $status: $(cat "$err")"
        [ "$(journal_notices)" = "$(not_written "$no_socket"; not_written "the journal took no entry within 2 s; 1 not sent")" ] ||
            fail "$name: the stop says: $(cat "$err")"
        remove_card
        exit 0
    fi

    if [ "$name" = station-e ]; then
        # Its catalog goes into this sandbox's mount namespace alone.
        [ "${QEL_JOURNAL_SANDBOX:-}" = "$(readlink /proc/self/ns/mnt)" ] ||
            fail "$name runs inside tools/journal-sandbox.sh only"
        # systemd-cat connects standard output and error to the journal's stream as systemd does
        # for a service, but sets no JOURNAL_STREAM: the watch gets it as systemd would set it.
        # shellcheck disable=SC2016 # expanded by the inner shell
        systemd-cat -t qel_sn sh -c \
            'JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec "$0" --watch --journal' \
            "$work/$name/qel_sn" &
        watch=$!
        insert --no-applet
        wait_for_count "$log" Finished 1 || fail "$name: the card without the applet was not read"
        kill -TERM "$watch"
        status=0
        wait "$watch" || status=$?
        [ "$status" -eq 0 ] || fail "$name: the watch ended with $status"
        remove_card
        # What the watch wrote before it ended is in the journal once this returns.
        journalctl --sync || fail "$name: the journal does not sync"
        entries=$(journalctl -D "$QEL_JOURNAL_DIR" -o json SYSLOG_IDENTIFIER=qel_sn)
        [ "$(wc -l <<<"$entries")" -eq 1 ] || fail "$name: not one entry: $entries"
        # Its hint, in the catalog's text of journalctl -x, which reads the database at its fixed
        # place: only this mount namespace sees one of the catalog alone there.
        root="$work/$name/root"
        mkdir -p "$root/usr/lib/systemd/catalog"
        cp packaging/qel-sn-reader.catalog "$root/usr/lib/systemd/catalog/"
        journalctl --root="$root" --update-catalog || fail "$name: the catalog does not compile"
        mount --bind "$root/var/lib/systemd/catalog" /var/lib/systemd/catalog
        explained=$(journalctl -D "$QEL_JOURNAL_DIR" -x SYSLOG_IDENTIFIER=qel_sn)
        grep -q -F 'What to do: The card in "Virtual PCD 00 00" is not a QEL dongle: take it out' \
            <<<"$explained" || fail "$name: journalctl -x does not show the hint: $explained"
        exit 0
    fi

    if [ "$name" = station-a ]; then
        "$work/$name/qel_sn" --watch --journal >"$work/$name/out" 2>"$work/$name/err" &
        watch=$!
        insert --serial 11111111
        wait_for_count "$log" Finished 1 || fail "$name: no first readout: $(cat "$work/$name/err")"
        insert --no-applet
        wait_for_count "$log" Finished 2 || fail "$name: the card without the applet: $(cat "$log")"
        insert --sw 401062B201FF=6A82
        wait_for_count "$log" "can't be read" 1 || fail "$name: the refused read: $(cat "$log")"
        insert --serial 22222222
        wait_for_count "$log" Finished 3 || fail "$name: no second readout: $(cat "$log")"
        kill -TERM "$watch"
        status=0
        wait "$watch" || status=$?
        [ "$status" -eq 0 ] || fail "$name: the watch ended with $status: $(cat "$work/$name/err")"
    else
        insert --serial 33333333 --verbose 2>"$work/$name/card.log"
        # pcscd powers a new card down once it has taken it in: then a readout finds it.
        wait_for_count "$work/$name/card.log" "power off" 1 || fail "$name: the card did not come in"
        # Without a journal to reach, the readout is logged all the same; the outage is said, and
        # at the end the entry that waited for it in vain.
        status=0
        unshare --mount sh -c 'mount -t tmpfs tmpfs /run/systemd && exec "$0" --journal' \
            "$work/$name/qel_sn" >"$work/$name/out" 2>"$err" || status=$?
        [ "$status" -eq 0 ] || fail "$name: qel_sn --journal without a journal ended with $status"
        [ "$(cat "$err")" = "$(not_written "$no_socket"; not_written "the journal took no entry within 2 s; 1 not sent")" ] ||
            fail "$name: without a journal, standard error says: $(cat "$err")"
        wait_for_count "$log" "Serial No (S/N): 33333333" 1 || fail "$name: the log file lacks the readout"
        status=0
        "$work/$name/qel_sn" --journal >"$work/$name/out" 2>"$work/$name/err" || status=$?
        [ "$status" -eq 0 ] || fail "$name: qel_sn --journal ended with $status"
    fi
    remove_card
    [ ! -s "$work/$name/out" ] || fail "$name: standard output is not empty: $(cat "$work/$name/out")"
    # Hints stay on standard error where it is no journal; a journal that took the entries is not
    # mentioned there, nor --diagnose, which the catalog names instead.
    ! grep -q -e journal -e --diagnose "$work/$name/err" || fail "$name: $(cat "$work/$name/err")"
    [ "$name" = station-b ] || grep -q -F "is not a QEL dongle: take it out" "$work/$name/err" ||
        fail "$name: the hint is not on standard error: $(cat "$work/$name/err")"
    journalctl -D "$QEL_JOURNAL_DIR" -o json SYSLOG_IDENTIFIER=qel_sn >"$work/$name/entries.json"
    # Ships everything there is, then ends.
    "$qel_journal_upload" --url="http://127.0.0.1:$collector_port" -D "$QEL_JOURNAL_DIR" --follow=no \
        --save-state="$work/$name/upload.state" >"$work/$name/upload.log" 2>&1 ||
        fail "$name: systemd-journal-upload failed: $(cat "$work/$name/upload.log")"
    exit 0
fi

qel_sn=$(realpath "${1:?usage: $0 QEL_SN QEL_VCARD}")
vcard=$(realpath "${2:?usage: $0 QEL_SN QEL_VCARD}")
[ "$(id -u)" -eq 0 ] || fail "root is needed for the namespaces"
[ -n "${QEL_SANDBOX:-}" ] || fail "run it inside tools/pcsc-sandbox.sh: the stations read its virtual dongles"
[ -x "$qel_journal_upload" ] ||
    fail "$qel_journal_upload is missing: ./test.sh unpacks systemd-journal-remote there first"
export qel_journal_upload qel_journal_remote

work=$(mktemp -d /tmp/qel-journal.XXXXXX)
collector=
cleanup() {
    [ -n "$collector" ] && kill "$collector" 2>/dev/null
    rm -rf -- "$work"
}
trap cleanup EXIT
mkdir -p "$work/station-a" "$work/station-b" "$work/station-c" "$work/station-d" "$work/remote"
"$qel_journal_remote" --listen-http="$collector_port" --output="$work/remote/all.journal" \
    --split-mode=none >"$work/remote.log" 2>&1 &
collector=$!
for _ in $(seq $((wait_s * 20))); do
    ss -Hltn "sport = :$collector_port" | grep -q . && break
    kill -0 "$collector" 2>/dev/null || fail "systemd-journal-remote ended: $(cat "$work/remote.log")"
    sleep 0.05
done

for station in station-a station-b; do
    tools/journal-sandbox.sh --hostname "$station" -- \
        "$0" --station "$station" "$work" "$qel_sn" "$vcard"
done

# Each station's four or one entries, field by field, and nothing else of ours.
python3 - "$work" <<'EOF' || fail "the journal entries are not as they must be"
import json, sys
work = sys.argv[1]
ids = {"read": "c0e28d9f6d3f4d8ebca51253482f1016", "not_found": "d5f482716e10495db6a35f109f0e8b11",
       "failed": "535d8defa9924d2285e35354c8bb04a5"}
reader = "Virtual PCD 00 00"
refusal = "Send + Receive error. ISO7816 error 0x6A82 (Wrong parameter(s) P1-P2. File not found)"
no_applet = "Card with specified AID is not found"
atr = "3B759400006202020301"
def read(serial):
    return {"QEL_OUTCOME": "read", "PRIORITY": "6", "QEL_SERIAL": serial, "QEL_FIRMWARE": "010A",
            "QEL_ERROR_CODE": "42", "QEL_ATR": atr,
            "MESSAGE": f'Dongle {serial} read in "{reader}": firmware 010A, error code 0x2A, ATR {atr}'}
def failed(outcome, priority, prefix, text, cause, hint, **connected):
    return dict(connected, QEL_OUTCOME=outcome, PRIORITY=priority, QEL_FAILURE=text,
                QEL_CAUSE=cause, QEL_HINT=hint, MESSAGE=prefix + text)
expected = {
    "station-a": [read("11111111"),
                  failed("not_found", "4", "Dongle can't be found: ", no_applet, "other_card",
                         f'The card in "{reader}" is not a QEL dongle: take it out and put the '
                         "dongle in."),
                  failed("failed", "3", "Dongle can't be read: ", refusal, "read_failed",
                         "The dongle was found but did not answer as expected: plug it in again "
                         "and retry; if it keeps failing, the dongle itself needs a check.",
                         QEL_ATR=atr),
                  read("22222222")],
    "station-b": [read("33333333")],
}
bad = []
for station, wanted in expected.items():
    entries = [json.loads(line) for line in open(f"{work}/{station}/entries.json")]
    if len(entries) != len(wanted):
        bad.append(f"{station}: {len(entries)} entries, not {len(wanted)}")
        continue
    for entry, want in zip(entries, wanted):
        want = dict(want, QEL_READER=reader, SYSLOG_IDENTIFIER="qel_sn", _HOSTNAME=station,
                    MESSAGE_ID=ids[want["QEL_OUTCOME"]])
        ours = {k: v for k, v in entry.items() if k.startswith("QEL_")}
        extra = set(ours) - set(want)
        for key, value in want.items():
            if entry.get(key) != value:
                bad.append(f"{station}: {key} is {entry.get(key)!r}, not {value!r}")
        if extra:
            bad.append(f"{station}: fields not asked for: {sorted(extra)}")
print("\n".join(bad), file=sys.stderr)
sys.exit(1 if bad else 0)
EOF

# The collector holds both stations' entries: by serial, and by station.
query() { journalctl --directory="$work/remote" -o json "$@"; }
for pair in 11111111:station-a 22222222:station-a 33333333:station-b; do
    serial=${pair%%:*} station=${pair#*:}
    found=$(query QEL_SERIAL="$serial" | python3 -c \
        'import json,sys; print(" ".join(json.loads(l)["_HOSTNAME"] for l in sys.stdin))')
    [ "$found" = "$station" ] ||
        fail "the collector has QEL_SERIAL=$serial from '$found', not once from $station: $(cat "$work/remote.log")"
done
[ "$(query _HOSTNAME=station-a SYSLOG_IDENTIFIER=qel_sn | wc -l)" -eq 4 ] ||
    fail "the collector has not station-a's four entries"
echo "ok: two stations' readouts reached the collector, found by serial and by station"

for station in station-c station-d; do
    tools/journal-sandbox.sh --hostname "$station" -- \
        "$0" --station "$station" "$work" "$qel_sn" "$vcard"
done
echo "ok: a watch's journal went and came back twice, and went at its stop: each outage said"

mkdir -p "$work/station-e"
tools/journal-sandbox.sh --hostname station-e -- "$0" --station station-e "$work" "$qel_sn" "$vcard"
echo "ok: a watch whose standard error is the journal made one entry of a failed readout, with its hint"
