#!/usr/bin/env bash
# A PostgreSQL hot standby of the local main cluster on 127.0.0.1:5433, for the replica tests.
#   pg_standby.sh [up]   reuse a standby that answers and streams, else (re)create it from a base backup
#   pg_standby.sh stop   stop it (fast); `up` starts it again from the same data directory
#   pg_standby.sh status exit 0 when it answers and is in recovery
# Runs as root (as CI does) or as postgres; the server itself always runs as postgres.
set -euo pipefail
cd /  # the server user may not be able to enter the caller's directory

VER=${VERDIN_PG_VERSION:-$(ls /etc/postgresql | sort -V | tail -n 1)}
BIN=/usr/lib/postgresql/$VER/bin
PORT=${VERDIN_STANDBY_PORT:-5433}
PRIMARY_PORT=${VERDIN_PRIMARY_PORT:-5432}
DATA=${VERDIN_STANDBY_DATA:-/var/lib/postgresql/$VER/verdin_standby}
LOG=${VERDIN_STANDBY_LOG:-/var/log/postgresql/verdin_standby.log}
HBA=/etc/postgresql/$VER/main/pg_hba.conf

as_pg() {
  if [ "$(id -un)" = postgres ]; then "$@"; else runuser -u postgres -- "$@"; fi
}
sql() {  # port, statement
  as_pg "$BIN/psql" -X -h 127.0.0.1 -p "$1" -U postgres -d postgres -Atqc "$2" 2>/dev/null
}
in_recovery() { [ "$(sql "$PORT" 'select pg_is_in_recovery()')" = t ]; }
streaming() { [ "$(sql "$PORT" 'select status from pg_stat_wal_receiver')" = streaming ]; }

# Waits up to $1 tenths of a second for the standby to stream from the primary.
wait_streaming() {
  for _ in $(seq 1 "$1"); do
    in_recovery && streaming && return 0
    sleep 0.1
  done
  return 1
}

stop_standby() {
  if [ -f "$DATA/postmaster.pid" ]; then
    as_pg "$BIN/pg_ctl" -D "$DATA" -m fast -w -t 20 stop >/dev/null 2>&1 ||
      as_pg "$BIN/pg_ctl" -D "$DATA" -m immediate -w -t 20 stop >/dev/null 2>&1 || true
  fi
}

start_standby() {
  as_pg "$BIN/pg_ctl" -D "$DATA" -l "$LOG" -w -t 30 start >/dev/null
}

# The main cluster must accept replication connections from 127.0.0.1 and keep some WAL for a standby
# that was stopped for a while; both changes only need a reload.
prepare_primary() {
  local changed=
  if ! grep -Eq '^[[:space:]]*host[[:space:]]+replication[[:space:]]+all[[:space:]]+127\.0\.0\.1/32[[:space:]]+trust' "$HBA"; then
    printf 'host replication all 127.0.0.1/32 trust\n' >>"$HBA"
    changed=1
  fi
  if [ "$(sql "$PRIMARY_PORT" "select setting from pg_settings where name = 'wal_keep_size'")" = 0 ]; then
    sql "$PRIMARY_PORT" "alter system set wal_keep_size = '256MB'" >/dev/null
    changed=1
  fi
  [ -z "$changed" ] || sql "$PRIMARY_PORT" 'select pg_reload_conf()' >/dev/null
}

create_standby() {
  stop_standby
  rm -rf "$DATA"
  prepare_primary
  install -d -o postgres -g postgres -m 0700 "$DATA"
  as_pg "$BIN/pg_basebackup" -h 127.0.0.1 -p "$PRIMARY_PORT" -U postgres -D "$DATA" -R -X stream --checkpoint=fast
  # Debian keeps the main cluster's configuration outside its data directory, so the backup has none:
  # the standby gets its own, with the settings a hot standby must not set lower than its primary.
  local limits
  limits=$(sql "$PRIMARY_PORT" "select string_agg(name || ' = ' || setting, E'\n') from pg_settings where name in
    ('max_connections', 'max_worker_processes', 'max_wal_senders', 'max_prepared_transactions',
     'max_locks_per_transaction')")
  as_pg tee "$DATA/postgresql.conf" >/dev/null <<EOF
port = $PORT
listen_addresses = '127.0.0.1'
unix_socket_directories = '/var/run/postgresql'
hot_standby = on
hot_standby_feedback = on
wal_receiver_status_interval = 1s
fsync = off
$limits
EOF
  as_pg tee "$DATA/pg_hba.conf" >/dev/null <<EOF
local all all trust
host all all 127.0.0.1/32 trust
EOF
  start_standby
}

up() {
  if [ -f "$DATA/standby.signal" ]; then
    # A stopped standby is started again; one that will not start or stream is rebuilt.
    if in_recovery || start_standby 2>/dev/null; then
      wait_streaming 50 && return 0
    fi
  fi
  create_standby
  wait_streaming 100 || { echo "standby on port $PORT does not stream from the primary" >&2; tail -n 20 "$LOG" >&2; exit 1; }
}

case "${1:-up}" in
  up) up ;;
  stop) stop_standby ;;
  status) in_recovery ;;
  *) echo "usage: $0 [up|stop|status]" >&2; exit 2 ;;
esac
