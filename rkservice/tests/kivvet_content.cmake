# Tests of the fetcher of the images a saved note references, and of the
# note data and change routes.
rk_add_test(rk_image_source_scanner_test rk_image_source_scanner_test.cc)
# libstdc++'s std::regex, the reference the scanner is held to, trips GCC's
# maybe-uninitialized check under the sanitizers.
target_compile_options(rk_image_source_scanner_test PRIVATE -Wno-maybe-uninitialized)
rk_add_test(rk_local_image_reader_test rk_local_image_reader_test.cc)
rk_add_test(rk_resource_downloader_test rk_resource_downloader_test.cc)

# The routes and the fetcher over HTTP, with the notes engine the service
# finds beside the test.
if(TARGET rkkivvet)
  rk_add_test(rk_kivvet_content_test rk_kivvet_content_test.cc rk_test_http.cc)
  add_dependencies(rk_kivvet_content_test rkkivvet)
endif()
