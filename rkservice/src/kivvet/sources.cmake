# The fetcher of the images a saved note references.
list(APPEND RK_SERVICE_SOURCES
  src/kivvet/rk_image_source_scanner.cc
  src/kivvet/rk_local_image_reader.cc
  src/kivvet/rk_note_data_clock.cc
  src/kivvet/rk_resource_downloader.cc
)
