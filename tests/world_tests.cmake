# Suites that run the real tovk and the driver of its library in simulated
# board worlds, with the world's own programs beside them.
function(add_world_suite name)
  add_executable(${name} ${ARGN} sim/world_support.cpp)
  target_link_libraries(${name} PRIVATE tovk_test_support_base GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    BOARDSIM_PATH="$<TARGET_FILE:boardsim>"
    PROBE_PATH="$<TARGET_FILE:world_probe>"
    TOVK_DRIVER_PATH="$<TARGET_FILE:tovk_driver>"
    REFSERVER_PATH="$<TARGET_FILE:refserver>")
  add_dependencies(${name} boardsim boardsim_shim world_probe tovk tovk_driver refserver)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
endfunction()

# tovk through the simulated board: board lines, the PIC link, the service.
add_world_suite(tovk_world_tests
  board/board_world_test.cpp
  pic/pic_world_test.cpp
  service/service_world_test.cpp
  service/interleaving_world_test.cpp)
target_include_directories(tovk_world_tests PRIVATE ${PROJECT_SOURCE_DIR}/sim)
target_compile_definitions(tovk_world_tests PRIVATE SOAK_WORLD_SCRIPT="${PROJECT_SOURCE_DIR}/sim/soak/soak_world.sh")
target_link_libraries(tovk_world_tests PRIVATE tovk_core boardsim_models)

# The serial-TCP bridge under a real inetd from the shipped inetd.conf, with
# a TCP client of its own inside the world.
add_executable(bridge_client serial_bridge/bridge_client.cpp)
add_world_suite(bridge_world_tests serial_bridge/bridge_inetd_world_test.cpp)
target_compile_definitions(bridge_world_tests PRIVATE
  BRIDGE_CLIENT_PATH="$<TARGET_FILE:bridge_client>"
  INETD_CONF_PATH="${PROJECT_SOURCE_DIR}/packaging/inetd.conf"
  AUDIO_LOOP_PLUGIN="$<TARGET_FILE:asound_module_pcm_audio_loop>")
add_dependencies(bridge_world_tests bridge_client asound_module_pcm_audio_loop)
