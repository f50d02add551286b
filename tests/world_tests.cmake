# tovk through the simulated board: the real binary and the driver in worlds.
add_executable(tovk_world_tests
  board/board_world_test.cpp
  pic/pic_world_test.cpp
  service/service_world_test.cpp
  sim/world_support.cpp
)
target_include_directories(tovk_world_tests PRIVATE ${PROJECT_SOURCE_DIR}/sim)
target_link_libraries(tovk_world_tests PRIVATE tovk_core tovk_test_support_base boardsim_models GTest::gtest_main)
target_compile_definitions(tovk_world_tests PRIVATE
  BOARDSIM_PATH="$<TARGET_FILE:boardsim>"
  PROBE_PATH="$<TARGET_FILE:world_probe>"
  TOVK_DRIVER_PATH="$<TARGET_FILE:tovk_driver>"
  REFSERVER_PATH="$<TARGET_FILE:refserver>")
add_dependencies(tovk_world_tests boardsim boardsim_shim world_probe tovk tovk_driver refserver)
gtest_discover_tests(tovk_world_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)

# The serial-TCP bridge under a real inetd from the shipped inetd.conf, with
# a TCP client of its own inside the world.
add_executable(bridge_client serial_bridge/bridge_client.cpp)
add_executable(bridge_world_tests
  serial_bridge/bridge_inetd_world_test.cpp
  sim/world_support.cpp
)
target_link_libraries(bridge_world_tests PRIVATE tovk_test_support_base GTest::gtest_main)
target_compile_definitions(bridge_world_tests PRIVATE
  BOARDSIM_PATH="$<TARGET_FILE:boardsim>"
  PROBE_PATH="$<TARGET_FILE:world_probe>"
  TOVK_DRIVER_PATH="$<TARGET_FILE:tovk_driver>"
  REFSERVER_PATH="$<TARGET_FILE:refserver>"
  BRIDGE_CLIENT_PATH="$<TARGET_FILE:bridge_client>"
  INETD_CONF_PATH="${PROJECT_SOURCE_DIR}/packaging/inetd.conf"
  AUDIO_LOOP_PLUGIN="$<TARGET_FILE:asound_module_pcm_audio_loop>")
add_dependencies(bridge_world_tests boardsim boardsim_shim world_probe tovk tovk_driver refserver bridge_client
  asound_module_pcm_audio_loop)
gtest_discover_tests(bridge_world_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
