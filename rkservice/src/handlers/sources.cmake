# Handlers of the browser data services.

# Form fill ("tesselfill"): stores, sync documents, value encryption, routes.
list(APPEND RK_SERVICE_SOURCES
  src/handlers/rk_json_check.cc
  src/handlers/rk_tessel_fill_cipher.cc
  src/handlers/rk_tessel_fill_handler.cc
  src/handlers/rk_tessel_fill_store.cc
  src/handlers/rk_tessel_fill_sync.cc
)
