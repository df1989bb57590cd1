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
