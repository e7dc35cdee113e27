# Lays out a run folder with the core and the four example plugins, as the
# demo runs them. Sourced by scripts/demo and scripts/valgrind-demo.
#   demo_layout BUILD_DIR RUN_DIR
demo_layout() {
  local build=$1 run=$2
  rm -rf "$run"
  mkdir -p "$run/plugins"
  cp "$build/devovor" "$run/"  # plugins are found beside the real executable
  local plugin
  for plugin in camera_sim recorder logfile bridge; do
    cp "$build/examples/plugins/$plugin.so" "$run/plugins/"
  done
  # Plugins of your own join them: DEMO_PLUGINS="path/to/my_plugin.so ..."
  # (a "<name>.conf" beside one comes along).
  local extra
  for extra in ${DEMO_PLUGINS:-}; do
    cp "$extra" "$run/plugins/"
    [[ ! -f ${extra%.so}.conf ]] || cp "${extra%.so}.conf" "$run/plugins/"
  done
  cat > "$run/plugins/camera_sim.conf" <<CONF
fps=25
frame_bytes=16384
key_every=50
CONF
  echo "folder=$run/recordings" > "$run/plugins/recorder.conf"
  echo "frames_per_segment=100" >> "$run/plugins/recorder.conf"
  echo "path=$run/devovor.log" > "$run/plugins/logfile.conf"
  cat > "$run/product.xml" <<XML
<Product><Product Family="Vantora demo" Version="21.09.7.0-demo"/></Product>
XML
  # The core's routine (level-0) lines are shown from the start.
  cat > "$run/core.xml" <<XML
<Orvel><Memory Throttling="1"/><Modules><Module>
  <Plugin ID="-2147483648" LogLevel="0" LogLevelDefault="25"/>
</Module></Modules></Orvel>
XML
}

# The parent's requests of the demo: at the given second the parent asks the
# bridge twice and sends a configuration update that raises the core's own
# threshold to 25, so its routine lines stop there.
demo_requests() {
  local update='<Update Delta="1" Prefix="relay"><Modules><Module><Plugin ID="-2147483648" LogLevel="25"/></Module></Modules></Update>'
  printf '%s\n' --requests-after "$1" \
    --request "0x01300000:0x10:hello from the parent" \
    --request "0x01300000:0x20:$update" \
    --request "0x01300000:0x10:after the update"
}
