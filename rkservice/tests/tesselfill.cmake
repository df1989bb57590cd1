# Tests of the form-fill stores, sync documents, value encryption and routes,
# over HTTP on loopback with the store files read by SQLite itself. The
# golden vectors come from the openssl command line; nlohmann-json reads
# what the service answers.
find_package(nlohmann_json 3 REQUIRED)
foreach(name routes sync cipher logging)
  rk_add_test(rk_tessel_fill_${name}_test rk_tessel_fill_${name}_test.cc rk_test_http.cc)
  target_link_libraries(rk_tessel_fill_${name}_test PRIVATE SQLite::SQLite3 nlohmann_json::nlohmann_json)
  add_dependencies(rk_tessel_fill_${name}_test rkdb)
endforeach()
