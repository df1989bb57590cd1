# The default notes of a new user and the sync-version reset, end to end: the
# service and the notes engine's test flavour in folders of the test's own.
find_package(nlohmann_json 3 REQUIRED)
rk_add_test(rk_kivvet_default_notes_test rk_kivvet_default_notes_test.cc rk_test_http.cc)
target_link_libraries(rk_kivvet_default_notes_test PRIVATE nlohmann_json::nlohmann_json ${CMAKE_DL_LIBS})
target_compile_definitions(rk_kivvet_default_notes_test PRIVATE RK_KIVVET_TESTING_DIR="${RK_KIVVET_TESTING_DIR}"
                           RK_DEFAULT_NOTES_SOURCE="${PROJECT_SOURCE_DIR}/rkservice/default_notes")
add_dependencies(rk_kivvet_default_notes_test rk_kivvet_testing_dir)
