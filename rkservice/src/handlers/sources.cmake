# Handlers of the browser data services.

# Form fill ("tesselfill"): stores, sync documents, value encryption, routes.
find_package(nlohmann_json 3 REQUIRED)
list(APPEND RK_SERVICE_SOURCES
  src/handlers/rk_tessel_fill_cipher.cc
  src/handlers/rk_tessel_fill_handler.cc
  src/handlers/rk_tessel_fill_store.cc
  src/handlers/rk_tessel_fill_sync.cc
)
list(APPEND RK_SERVICE_LIBS nlohmann_json::nlohmann_json)
