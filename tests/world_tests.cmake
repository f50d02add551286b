# The kit of the world suites: the probe that touches the board's devices as
# tovk does, and the helpers that start worlds with the programs under test
# (tovk, the driver of its library, the reference server) named inside.
add_executable(world_probe support/world_probe.cpp)

add_library(tovk_world_support STATIC support/world_support.cpp)
target_link_libraries(tovk_world_support PUBLIC tovk_test_support_base)
target_compile_definitions(tovk_world_support PRIVATE
  BOARDSIM_PATH="$<TARGET_FILE:boardsim>"
  PROBE_PATH="$<TARGET_FILE:world_probe>"
  TOVK_DRIVER_PATH="$<TARGET_FILE:tovk_driver>"
  REFSERVER_PATH="$<TARGET_FILE:refserver>")
add_dependencies(tovk_world_support boardsim boardsim_shim world_probe tovk tovk_driver refserver)

# A suite whose tests run in simulated board worlds.
function(add_world_suite name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE tovk_world_support GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
endfunction()

# tovk through the simulated board: board lines, the PIC link, the service.
add_world_suite(tovk_world_tests
  board/board_world_test.cpp
  pic/pic_world_test.cpp
  service/service_world_test.cpp
  service/service_fault_world_test.cpp
  service/metrics_exporter_world_test.cpp
  service/interleaving_world_test.cpp)
target_compile_definitions(tovk_world_tests PRIVATE SOAK_WORLD_SCRIPT="${PROJECT_SOURCE_DIR}/sim/soak/soak_world.sh")
target_link_libraries(tovk_world_tests PRIVATE tovk_core boardsim_models boardsim_control)

# The serial-TCP bridge under a real inetd from the shipped inetd.conf, with
# a TCP client of its own inside the world.
add_executable(bridge_client serial_bridge/bridge_client.cpp)
add_world_suite(bridge_world_tests serial_bridge/bridge_inetd_world_test.cpp)
target_compile_definitions(bridge_world_tests PRIVATE
  BRIDGE_CLIENT_PATH="$<TARGET_FILE:bridge_client>"
  INETD_CONF_PATH="${PROJECT_SOURCE_DIR}/packaging/inetd.conf"
  INETD_TCPD_CONF_PATH="${PROJECT_SOURCE_DIR}/packaging/inetd-tcpd.conf"
  HOSTS_ALLOW_PATH="${PROJECT_SOURCE_DIR}/packaging/hosts.allow"
  HOSTS_DENY_PATH="${PROJECT_SOURCE_DIR}/packaging/hosts.deny"
  AUDIO_LOOP_PLUGIN="$<TARGET_FILE:asound_module_pcm_audio_loop>")
add_dependencies(bridge_world_tests bridge_client asound_module_pcm_audio_loop)
