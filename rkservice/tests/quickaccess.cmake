# Tests of the quick-access handler, its sync document and merge, its store and
# the dated backups.
foreach(name rk_qa_handler_test rk_qa_sync_test rk_qa_backups_test)
  rk_add_test(${name} ${name}.cc rk_test_http.cc)
  target_link_libraries(${name} PRIVATE SQLite::SQLite3)
  add_dependencies(${name} rkdb)
endforeach()
