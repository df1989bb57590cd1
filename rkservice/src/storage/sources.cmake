# The key-value store and the loader of its SQL engine library. The engine is
# loaded at run time, so nothing is linked for it.
list(APPEND RK_SERVICE_SOURCES
  src/storage/rk_db_library.cc
  src/storage/rk_storage.cc
)
