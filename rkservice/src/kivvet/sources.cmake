# Notes service sources.

# --- Default notes: their archive and description readers.
list(APPEND RK_SERVICE_SOURCES
  src/kivvet/rk_ini_reader.cc
)
# --- end of default notes
