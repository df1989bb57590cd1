# Tests of the fetcher of the images a saved note references, and of the
# note data and change routes.
rk_add_test(rk_image_source_scanner_test rk_image_source_scanner_test.cc)
rk_add_test(rk_local_image_reader_test rk_local_image_reader_test.cc)
rk_add_test(rk_resource_downloader_test rk_resource_downloader_test.cc)
