#!/usr/bin/env bash
# Serial devices for the test suites, as COM links in LINKDIR:
#   COM5 <-> COM6  a null-modem pair (socat)
#   COM7           the mount simulator, COM8 its control line
#   COM11, COM12   with "network": the same simulator over UDP and TCP on the
#                  loopback address, at ports the system chose
# usage: ports.sh start LINKDIR STATEDIR SIMULATOR [network] | ports.sh stop LINKDIR STATEDIR
set -u
action=$1 linkdir=$2 statedir=$3

stop_all() {
  if [ -d "$statedir" ]; then
    for f in "$statedir"/*.pid; do
      [ -f "$f" ] || continue
      kill "$(cat "$f")" 2>/dev/null
      rm -f "$f"
    done
  fi
  rm -f "$linkdir"/com5 "$linkdir"/com6 "$linkdir"/com7 "$linkdir"/com8 "$linkdir"/com8.control "$linkdir"/com11 \
    "$linkdir"/com12
}

case "$action" in
start)
  sim=$4
  network=()
  [ "${5:-}" = network ] && network=(--udp 127.0.0.1:0 --tcp 127.0.0.1:0)
  mkdir -p "$linkdir" "$statedir"
  stop_all
  setsid socat "PTY,link=$linkdir/com5,raw,echo=0" "PTY,link=$linkdir/com6,raw,echo=0" \
    </dev/null >"$statedir/socat.log" 2>&1 &
  echo $! >"$statedir/socat.pid"
  setsid "$sim" --link "$linkdir/com7" --control-link "$linkdir/com8" "${network[@]}" \
    </dev/null >"$statedir/sim.log" 2>&1 &
  echo $! >"$statedir/sim.pid"
  for _ in $(seq 1 200); do
    if [ -e "$linkdir/com5" ] && [ -e "$linkdir/com6" ] && [ -e "$linkdir/com7" ] && [ -e "$linkdir/com8" ]; then
      # The simulator prints its addresses once its links are made.
      if [ ${#network[@]} -gt 0 ]; then
        grep -q 'tcp://' "$statedir/sim.log" || { sleep 0.05; continue; }
        ln -sfn "$(grep -o 'udp://[^ ]*' "$statedir/sim.log")" "$linkdir/com11" &&
          ln -sfn "$(grep -o 'tcp://[^ ]*' "$statedir/sim.log")" "$linkdir/com12" || exit 1
      fi
      echo "ports up in $linkdir"
      exit 0
    fi
    sleep 0.05
  done
  echo "ports did not come up; simulator log:" >&2
  cat "$statedir/sim.log" "$statedir/socat.log" >&2
  exit 1
  ;;
stop)
  stop_all
  echo "ports down"
  ;;
*)
  echo "usage: $0 start LINKDIR STATEDIR SIMULATOR | stop LINKDIR STATEDIR" >&2
  exit 2
  ;;
esac
