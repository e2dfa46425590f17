# Shared by the demos (sourced): a fresh root with a throwaway CA and the
# sample plugin configuration trusting it, "call home" spoken by flite at
# 8 kHz, the local speech service with its offline recognizer, and the
# failure report. The caller sets top, build, root, words and logs (the
# files shown when a step fails) before sourcing.
service_log="$root/log/speech-service.log"
service_pid=

stop_service() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null
    wait "$service_pid" 2>/dev/null
    service_pid=
  fi
}

fail() {
  echo "demo: $*" >&2
  local log
  for log in "${logs[@]}"; do
    [ -s "$log" ] || continue
    echo "== warnings and errors ($log)" >&2
    grep -E "\[(WARN|ERROR|CRITC|ALERT|EMERG)" "$log" | head -n 40 >&2
    echo "== last lines ($log)" >&2
    tail -n 25 "$log" >&2
  done
  if [ -s "$service_log" ]; then
    echo "== speech service output" >&2
    tail -n 20 "$service_log" >&2
  fi
  exit 1
}

# The root, its certificates, the plugin configuration and the caller's audio.
prepare_demo() {
  rm -rf "$root"
  mkdir -p "$root/conf" "$root/data" "$root/var" "$root/log" "$root/certs" || fail "cannot make $root"
  "$top/scripts/make-test-certs" "$root/certs" >/dev/null || fail "cannot make the demo certificates"

  # The sample configuration, trusting the demo service's throwaway CA.
  sed -e "s|tls-ca-file=\"\"|tls-ca-file=\"$root/certs/ca.crt\"|" \
      "$top/conf/koralrx.xml" > "$root/conf/koralrx.xml" || fail "cannot write the configuration"

  # The caller: 8 kHz telephone audio, 16-bit mono, without dither.
  # The rms voice: of flite's voices, the one whose "call home" the offline
  # recognizer gets right through a telephone band (kal16's comes back "all all",
  # whichever way it is converted).
  flite -voice "${DEMO_VOICE:-rms}" -t "$words" -o "$root/utterance-16k.wav" || fail "flite failed"
  sox -D "$root/utterance-16k.wav" -r 8000 -b 16 -c 1 "$root/call-home-8k.wav" \
    pad 0.3 0.3 || fail "sox failed"
}

# Starts the speech service and waits for its ready line.
start_service() {
  "$build/tools/speech-service/speech-service" --listen 127.0.0.1:0 \
      --cert "$root/certs/server.crt" --key "$root/certs/server.key" \
      --subscription-key demo-key --write-key-file "$root/data/koralrx-key-demo.json" \
      > "$service_log" 2>&1 &
  service_pid=$!
  local ready=
  for _ in $(seq 1 600); do
    if grep -q "speech-service ready on" "$service_log"; then ready=1; break; fi
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$ready" ] || fail "the speech service did not start"
  grep "speech-service ready on" "$service_log"
}

# The exchange in $1 succeeded and its best interpretation is the words.
check_result() {
  grep -q "Completion-Cause:000 success" "$1" || fail "the recognition did not succeed"
  local best
  best="$(grep -m1 -o "<instance>[^<]*</instance>" "$1")"
  [ "$best" = "<instance>$words</instance>" ] ||
    fail "the best interpretation is ${best:-missing}, not \"$words\""
  echo "== recognized \"$words\""
}
