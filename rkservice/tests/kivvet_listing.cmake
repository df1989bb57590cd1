# The folder listing: the engine's listings written without a JSON tree, and
# the service's direct flattening against the JSON library's.
find_package(nlohmann_json 3 REQUIRED)
rk_add_test(rk_kivvet_listing_test rk_kivvet_listing_test.cc)
target_link_libraries(rk_kivvet_listing_test PRIVATE SQLite::SQLite3 nlohmann_json::nlohmann_json)
add_dependencies(rk_kivvet_listing_test rkkivvet)
rk_add_test(rk_node_list_flattener_test rk_node_list_flattener_test.cc)
