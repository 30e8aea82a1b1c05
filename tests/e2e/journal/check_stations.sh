#!/usr/bin/env bash
# The stations' set-up of docs/stations.md end to end, as root inside tools/pcsc-sandbox.sh
# (ctest -L e2e). A station reads a dongle into the journal namespace qel-sn-reader, as
# qel-sn-watch.service does, while another service logs into its system journal;
# systemd-journal-upload reads that namespace alone and ships it over TLS, with the station's
# certificate of a CA made here, to a collector: stunnel4 refusing every peer without a
# certificate of that CA, in front of systemd-journal-remote on a socket of its own. The
# collector gets the readout and nothing of the other service, and explains it with the catalog;
# uploads without the site's certificate, in plain HTTP, or to a collector the station cannot
# trust deliver nothing.
#   tests/e2e/journal/check_stations.sh QEL_SN QEL_VCARD
set -euo pipefail
cd "$(dirname "$0")/../../.."
source scripts/deps.sh

readonly wait_s=20
readonly port=19532
readonly namespace=qel-sn-reader
readonly serial=66666601
readonly other_text="other service: nothing of mine leaves this station"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# --- the station, inside its journal sandbox with the namespace's daemon ------------------------
if [ "${1:-}" = --station ]; then
    work=$2 qel_sn=$3 vcard=$4
    pki=$work/pki station=$work/station
    mkdir "$station"
    cp "$qel_sn" "$station/qel_sn"

    systemd-cat -t other-service echo "$other_text"
    "$vcard" --serial "$serial" --verbose 2>"$station/card.log" &
    card=$!
    # pcscd powers a new card down once it has taken it in: then a readout finds it.
    for _ in $(seq $((wait_s * 20))); do
        grep -q "power off" "$station/card.log" && break
        sleep 0.05
    done
    status=0
    tools/journal-sandbox.sh --log-namespace -- "$station/qel_sn" --journal \
        >"$station/out" 2>"$station/err" || status=$?
    kill "$card" 2>/dev/null || true
    wait "$card" 2>/dev/null || true
    qel_wait_reader_empty "Virtual PCD 00 00" || fail "the card is still in the reader"
    [ "$status" -eq 0 ] || fail "qel_sn --journal ended with $status: $(cat "$station/err")"

    # The station's own view: the readout in the namespace, the other service in the system
    # journal, neither in the other's.
    in_journal() { # DIR FIELD=VALUE
        journalctl -D "$1" -o cat "$2" 2>/dev/null | grep -c . || true
    }
    main_dir=$QEL_JOURNAL_DIR/$(cat /etc/machine-id)
    [ "$(in_journal "$QEL_JOURNAL_NAMESPACE_DIR" QEL_SERIAL="$serial")" -eq 1 ] ||
        fail "the readout is not in the namespace's journal: $(cat "$station/err")"
    [ "$(in_journal "$main_dir" QEL_SERIAL="$serial")" -eq 0 ] ||
        fail "the readout is in the system journal"
    [ "$(in_journal "$main_dir" SYSLOG_IDENTIFIER=other-service)" -eq 1 ] ||
        fail "the other service's entry is not in the system journal"
    [ "$(in_journal "$QEL_JOURNAL_NAMESPACE_DIR" SYSLOG_IDENTIFIER=other-service)" -eq 0 ] ||
        fail "the other service's entry is in the namespace's journal"
    cat "/run/log/journald@$namespace.pid" >"$station/namespace-journald.pid"

    collector_entries() {
        journalctl -D "$work/collector/remote" -o cat 2>/dev/null | grep -c . || true
    }
    # Who refused, and why, in their own words: the collector's TLS front logs the reason before
    # it closes, while the uploader may see only the closed connection.
    refused_for() { # station|collector TEXT LOG
        local log=${3:-}
        [ "$1" = collector ] && log=$work/collector/stunnel.log
        for _ in $(seq $((wait_s * 20))); do
            grep -q -F -- "$2" "$log" && return 0
            sleep 0.05
        done
        return 1
    }
    upload() { # NAME ARGS...: the station's uploader over the namespace's files, once
        local name=$1
        shift
        "$qel_journal_upload" --directory="$QEL_JOURNAL_NAMESPACE_DIR" --follow=no "$@" \
            >"$station/upload-$name.log" 2>&1
    }

    # Each way in that must fail, who refuses it and why; the collector stays empty.
    while IFS='|' read -r name url key cert trust who why; do
        [ -n "$name" ] || continue
        status=0
        upload "$name" --url="$url" --key="$pki/$key.key" --cert="$pki/$cert.pem" \
            --trust="$pki/$trust.pem" || status=$?
        [ "$status" -ne 0 ] || fail "$name: the upload was taken"
        refused_for "$who" "$why" "$station/upload-$name.log" ||
            fail "$name: the $who did not refuse for '$why': $(cat "$station/upload-$name.log")"
        echo "refused by the $who, $name: $why"
        [ "$(collector_entries)" -eq 0 ] || fail "$name: the collector got entries"
    done <<EOF
a certificate of another CA|https://127.0.0.1:$port|foreign-station|foreign-station|site-ca|collector|Rejected by CERT at depth=0: CN=foreign-station
plain HTTP to the collector|http://127.0.0.1:$port|station-a|station-a|site-ca|collector|SSL routines::http request
a collector the station cannot trust|https://127.0.0.1:$port|station-a|station-a|foreign-ca|station|SSL certificate problem: self-signed certificate in certificate chain
EOF

    # No certificate at all, which journal-remote alone takes: under TLS 1.3 the client's handshake
    # ends before the collector asks for the certificate, and the request then gets no answer.
    journalctl -D "$QEL_JOURNAL_NAMESPACE_DIR" -o export >"$station/namespace.export"
    why=$(python3 - "$port" "$pki/site-ca.pem" "$station/namespace.export" <<'EOF'
import http.client, ssl, sys
port, ca, body = int(sys.argv[1]), sys.argv[2], open(sys.argv[3], "rb").read()
connection = http.client.HTTPSConnection("127.0.0.1", port,
                                         context=ssl.create_default_context(cafile=ca))
try:
    connection.connect()
except OSError as error:
    sys.exit(print(f"no handshake: {error}"))
try:
    connection.request("POST", "/upload", body=body,
                       headers={"Content-Type": "application/vnd.fdo.journal"})
    answer = connection.getresponse()
    print(f"taken: {answer.status} {answer.read()!r}")
except (OSError, http.client.HTTPException) as error:
    print(f"refused after the handshake: {getattr(error, 'reason', None) or type(error).__name__}")
EOF
    )
    [[ "$why" = "refused after the handshake: "* ]] || fail "no certificate: $why"
    refused_for collector "peer did not return a certificate" ||
        fail "no certificate: the collector did not refuse for the missing certificate: $why"
    echo "refused by the collector, no certificate: peer did not return a certificate ($why)"
    [ "$(collector_entries)" -eq 0 ] || fail "no certificate: the collector got entries"

    upload station-a --url="https://127.0.0.1:$port" --key="$pki/station-a.key" \
        --cert="$pki/station-a.pem" --trust="$pki/site-ca.pem" --save-state="$station/upload.state" ||
        fail "station-a: the upload failed: $(cat "$station/upload-station-a.log")"
    exit 0
fi

qel_sn=$(realpath "${1:?usage: $0 QEL_SN QEL_VCARD}")
vcard=$(realpath "${2:?usage: $0 QEL_SN QEL_VCARD}")
[ "$(id -u)" -eq 0 ] || fail "root is needed for the namespaces"
[ -n "${QEL_SANDBOX:-}" ] || fail "run it inside tools/pcsc-sandbox.sh: the station reads its virtual dongle"
[ -x "$qel_journal_upload" ] ||
    fail "$qel_journal_upload is missing: ./test.sh unpacks systemd-journal-remote there first"
[ -x "$qel_stunnel" ] || fail "$qel_stunnel is missing: ./test.sh unpacks stunnel4 there first"
export qel_journal_upload

work=$(mktemp -d /tmp/qel-stations.XXXXXX)
pids=()
cleanup() {
    [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true
    rm -rf -- "$work"
}
trap cleanup EXIT
pki=$work/pki collector=$work/collector
mkdir -p "$pki" "$collector/remote"
# The TLS front runs as nobody, as stunnel4 runs as its own user on a collector: it reaches its
# socket through the folders, and its key only before it drops root.
chmod 0700 "$pki"
chmod 0711 "$work" "$collector"

# The site's CA and its certificates, made as docs/stations.md makes them; and a CA of nobody's
# that signs a certificate of the same station name.
issue() { # NAME CA USE SUBJECT_ALT_NAME
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$1" \
        -keyout "$pki/$1.key" -out "$pki/$1.csr" 2>/dev/null
    openssl x509 -req -in "$pki/$1.csr" -CA "$pki/$2.pem" -CAkey "$pki/$2.key" -CAcreateserial \
        -days 2 -out "$pki/$1.pem" \
        -extfile <(printf 'subjectAltName=%s\nextendedKeyUsage=%s\n' "$4" "$3") 2>/dev/null
}
for ca in site-ca foreign-ca; do
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=$ca" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        -keyout "$pki/$ca.key" -out "$pki/$ca.pem" 2>/dev/null
done
issue collector site-ca serverAuth "DNS:collector,IP:127.0.0.1"
issue station-a site-ca clientAuth "DNS:station-a"
issue foreign-station foreign-ca clientAuth "DNS:station-a"

# The collector: journal-remote takes plain HTTP on a socket that only the TLS front's user may
# reach, handed over as its socket unit would; stunnel4 is the only way in from the network.
systemd-socket-activate -l "$collector/journal-remote.sock" \
    "$qel_journal_remote" --listen-http=-3 --split-mode=none --output="$collector/remote/all.journal" \
    >"$collector/remote.log" 2>&1 &
pids+=($!)
for _ in $(seq $((wait_s * 20))); do
    [ -S "$collector/journal-remote.sock" ] && break
    sleep 0.05
done
[ -S "$collector/journal-remote.sock" ] || fail "journal-remote has no socket: $(cat "$collector/remote.log")"
chown nobody "$collector/journal-remote.sock"
chmod 0600 "$collector/journal-remote.sock"
cat >"$collector/stunnel.conf" <<EOF
foreground = yes
pid =
setuid = nobody
setgid = nogroup
[journal-remote]
accept = 127.0.0.1:$port
connect = $collector/journal-remote.sock
cert = $pki/collector.pem
key = $pki/collector.key
CAfile = $pki/site-ca.pem
verifyChain = yes
sslVersionMin = TLSv1.2
EOF
LD_LIBRARY_PATH=$(qel_stunnel_library_path) "$qel_stunnel" "$collector/stunnel.conf" \
    >"$collector/stunnel.log" 2>&1 &
pids+=($!)
for _ in $(seq $((wait_s * 20))); do
    ss -Hltn "sport = :$port" | grep -q . && break
    kill -0 "${pids[@]}" 2>/dev/null || fail "the collector ended: $(cat "$collector"/*.log)"
    sleep 0.05
done
ss -Hltn "sport = :$port" | grep -q . || fail "stunnel4 does not listen: $(cat "$collector/stunnel.log")"

tools/journal-sandbox.sh --hostname station-a --namespace "$namespace" -- \
    "$0" --station "$work" "$qel_sn" "$vcard" ||
    fail "the station failed; the collector's journal-remote says: $(cat "$collector/remote.log")"

# The collector's view: the readout once, from station-a; beside it only the notices of the
# namespace's own daemon, and nothing of the station's system journal.
journalctl -D "$collector/remote" -o json >"$work/collected.json"
python3 - "$work/collected.json" "$serial" "$(cat "$work/station/namespace-journald.pid")" \
    "$other_text" <<'EOF' || fail "the collector's entries are not as they must be"
import json, sys
entries = [json.loads(line) for line in open(sys.argv[1])]
serial, journald, other = sys.argv[2], sys.argv[3], sys.argv[4]
bad = []
readouts = [e for e in entries if e.get("SYSLOG_IDENTIFIER") == "qel_sn"]
if [(e.get("QEL_SERIAL"), e.get("_HOSTNAME")) for e in readouts] != [(serial, "station-a")]:
    bad.append(f"readouts: {[(e.get('QEL_SERIAL'), e.get('_HOSTNAME')) for e in readouts]}")
for e in entries:
    if e in readouts:
        continue
    if e.get("SYSLOG_IDENTIFIER") != "systemd-journald" or e.get("_PID") != journald:
        bad.append(f"not the namespace's: {e.get('SYSLOG_IDENTIFIER')}[{e.get('_PID')}]: {e.get('MESSAGE')}")
if any(other in str(e.get("MESSAGE")) for e in entries):
    bad.append("the other service's entry")
if bad:
    print("\n".join(bad), file=sys.stderr)
sys.exit(1 if bad else 0)
EOF
echo "The collector's entries:"
journalctl -D "$collector/remote" -o short
journalctl -D "$collector/remote" -o verbose QEL_SERIAL="$serial" | sed 's/^/  /'

# The collector explains the readout with the catalog, put where a site's own catalogs go.
catalog_root=$work/catalog-root
mkdir -p "$catalog_root/usr/local/lib/systemd/catalog"
cp packaging/qel-sn-reader.catalog "$catalog_root/usr/local/lib/systemd/catalog/"
journalctl --root="$catalog_root" --update-catalog || fail "the catalog does not compile"
[ -d /var/lib/systemd/catalog ] || fail "/var/lib/systemd/catalog is missing (package systemd)"
# journalctl -x reads the database at its fixed place: a private one, seen by this command alone.
# shellcheck disable=SC2016 # expanded by that shell
explained=$(unshare --mount --propagation private -- sh -c \
    'mount -t tmpfs tmpfs /var/lib/systemd/catalog &&
     cp "$1/var/lib/systemd/catalog/database" /var/lib/systemd/catalog/ &&
     journalctl -D "$2" -x -o short QEL_SERIAL="$3"' sh "$catalog_root" "$collector/remote" "$serial")
grep -q -F "Subject: Dongle $serial read" <<<"$explained" ||
    fail "journalctl -x on the collector does not explain the readout: $explained"
echo "  ${explained//$'\n'/$'\n'  }"
echo "ok: the readout alone reached the collector over TLS; uploads without the site's certificate, in plain HTTP or to an untrusted collector were refused"
