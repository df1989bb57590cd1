# The notes service: handler, routes, event sink, the manager and its binding
# to the notes engine library, which is loaded at run time.
list(APPEND RK_SERVICE_SOURCES
  src/kivvet/rk_byte_vector_sink.cc
  src/kivvet/rk_kivvet_handler.cc
  src/kivvet/rk_kivvet_handler_events.cc
  src/kivvet/rk_kivvet_mgr.cc
  src/kivvet/rk_kivvet_query_routes.cc
  src/kivvet/rk_kivvet_sync_routes.cc
  src/kivvet/adaptor/win/rk_kivvet_sync_observer.cc
  src/kivvet/adaptor/win/rk_kivvetmgr_v2_win.cc
)

# The note data and change routes, and the fetcher of the images a saved note
# references.
list(APPEND RK_SERVICE_SOURCES
  src/kivvet/rk_content_helper.cc
  src/kivvet/rk_image_source_scanner.cc
  src/kivvet/rk_kivvet_change_routes.cc
  src/kivvet/rk_kivvet_data_routes.cc
  src/kivvet/rk_local_image_reader.cc
  src/kivvet/rk_note_data_clock.cc
  src/kivvet/rk_resource_downloader.cc
)
