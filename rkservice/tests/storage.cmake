# Tests of the key-value store, its SQL engine library and the notification
# sender.
rk_add_test(rk_db_engine_test rk_db_engine_test.cc)
target_link_libraries(rk_db_engine_test PRIVATE SQLite::SQLite3)
add_dependencies(rk_db_engine_test rkdb)

rk_add_test(rk_storage_test rk_storage_test.cc)
target_link_libraries(rk_storage_test PRIVATE SQLite::SQLite3)
add_dependencies(rk_storage_test rkdb)

# Linked against the shipped library; finds it beside itself wherever it is
# copied.
add_executable(rk_storage_probe rk_storage_probe.cc)
target_link_libraries(rk_storage_probe PRIVATE rkservice)
set_target_properties(rk_storage_probe PROPERTIES BUILD_WITH_INSTALL_RPATH TRUE INSTALL_RPATH "$ORIGIN")

# An engine library without its deletion export.
add_library(rk_test_rkdb_incomplete SHARED rk_db_incomplete_library.cc)

rk_add_test(rk_db_library_test rk_db_library_test.cc)
target_link_libraries(rk_db_library_test PRIVATE SQLite::SQLite3)
add_dependencies(rk_db_library_test rk_storage_probe rkdb rk_test_rkdb_incomplete)

rk_add_test(rk_storage_crash_test rk_storage_crash_test.cc)
target_link_libraries(rk_storage_crash_test PRIVATE SQLite::SQLite3)
add_dependencies(rk_storage_crash_test rk_storage_probe rkdb)

rk_add_test(rk_notify_sender_test rk_notify_sender_test.cc)
rk_add_test(rk_http_client_test rk_http_client_test.cc)
