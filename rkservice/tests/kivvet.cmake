# Tests of the notes service: its pure parts, and the service as the browser
# sees it with and without the notes engine library.
rk_add_test(rk_kivvet_unit_test rk_kivvet_unit_test.cc)
target_link_libraries(rk_kivvet_unit_test PRIVATE SQLite::SQLite3)

# Engine libraries that cannot serve, for the tests of a missing engine.
add_library(rk_test_kivvet_incomplete SHARED rk_kivvet_stand_in_library.cc)
add_library(rk_test_kivvet_refusing SHARED rk_kivvet_stand_in_library.cc)
target_compile_definitions(rk_test_kivvet_refusing PRIVATE RK_STAND_IN_WITH_DELETE)
foreach(stand_in rk_test_kivvet_incomplete rk_test_kivvet_refusing)
  target_include_directories(${stand_in} PRIVATE ${PROJECT_SOURCE_DIR}/extlibs)
endforeach()

rk_add_black_box_test(rk_kivvet_no_engine_test rk_kivvet_no_engine_test.cc)
add_dependencies(rk_kivvet_no_engine_test rk_test_kivvet_incomplete rk_test_kivvet_refusing)

# The service with the real notes engine, its test flavour and the sync peer.
find_package(nlohmann_json 3 REQUIRED)
foreach(name rk_kivvet_routes_test rk_kivvet_service_sync_test rk_kivvet_events_test)
  rk_add_black_box_test(${name} ${name}.cc)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/extlibs)
  target_link_libraries(${name} PRIVATE nlohmann_json::nlohmann_json)
  target_compile_definitions(${name} PRIVATE RK_KIVVET_TESTING_DIR="${RK_KIVVET_TESTING_DIR}")
  add_dependencies(${name} rkkivvet rk_kivvet_testing_dir rk_kivvet_peer)
endforeach()

# What the routes hand the engine: the service in this process (so the note
# data clock can be set) beside the engine's test flavour, which records the
# calls; the test runs from the flavour's folder, where the service looks.
rk_add_test(rk_kivvet_engine_view_test rk_kivvet_engine_view_test.cc rk_test_http.cc)
set_target_properties(rk_kivvet_engine_view_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${RK_KIVVET_TESTING_DIR})
target_link_libraries(rk_kivvet_engine_view_test PRIVATE SQLite::SQLite3 nlohmann_json::nlohmann_json)
add_dependencies(rk_kivvet_engine_view_test rk_kivvet_testing_dir)
