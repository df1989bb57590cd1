# Tests of the notes service: its pure parts, and the service as the browser
# sees it with and without the notes engine library.
rk_add_test(rk_kivvet_unit_test rk_kivvet_unit_test.cc)
target_link_libraries(rk_kivvet_unit_test PRIVATE SQLite::SQLite3)
