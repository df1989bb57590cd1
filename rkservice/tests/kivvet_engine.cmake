# Tests of the notes engine library, its test flavour and its sync peer,
# loaded and run as the service uses them.
find_package(nlohmann_json 3 REQUIRED)
foreach(name rk_kivvet_interface_test rk_kivvet_engine_test rk_kivvet_sync_test)
  rk_add_test(${name} ${name}.cc)
  target_link_libraries(${name} PRIVATE SQLite::SQLite3 nlohmann_json::nlohmann_json)
  add_dependencies(${name} rkkivvet rkkivvet_testing rk_kivvet_peer)
endforeach()
