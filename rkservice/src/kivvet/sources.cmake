# Notes service sources.

# --- Default notes: their archive and description readers (7z through
# libarchive, the 7z format only).
find_package(LibArchive REQUIRED)
list(APPEND RK_SERVICE_SOURCES
  src/kivvet/rk_ini_reader.cc
  src/kivvet/adaptor/win/rk_lzma_util.cc
  src/kivvet/adaptor/win/rk_default_notes.cc
)
list(APPEND RK_SERVICE_LIBS LibArchive::LibArchive)
# --- end of default notes

# --- Notes handler: routes, event sink, the manager and its binding to the
# notes engine library, which is loaded at run time.
list(APPEND RK_SERVICE_SOURCES
  src/kivvet/rk_byte_vector_sink.cc
  src/kivvet/rk_kivvet_handler.cc
  src/kivvet/rk_kivvet_handler_events.cc
  src/kivvet/rk_json_deep_reader.cc
  src/kivvet/rk_kivvet_mgr.cc
  src/kivvet/rk_kivvet_query_routes.cc
  src/kivvet/rk_kivvet_sync_routes.cc
  src/kivvet/rk_node_list_flattener.cc
  src/kivvet/adaptor/win/rk_kivvet_sync_observer.cc
  src/kivvet/adaptor/win/rk_kivvetmgr_v2_win.cc
)
# --- end of notes handler

# --- Note data and change routes, and the fetcher of the images a saved note
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
# --- end of note data and change routes
