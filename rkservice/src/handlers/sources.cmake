# The account and updater proxies and their binding to the browser's main
# library (loaded at run time, so nothing is linked for it).
list(APPEND RK_SERVICE_SOURCES
  src/handlers/rk_account_handler.cc
  src/handlers/rk_halvex_library.cc
  src/handlers/rk_proxy_form.cc
  src/handlers/rk_proxy_handler.cc
  src/handlers/rk_rest_result_holder.cc
  src/handlers/rk_updater_handler.cc
)

# Quick access: handler, store, dated backups, sync document, site list merge.
list(APPEND RK_SERVICE_SOURCES
  src/handlers/rk_data_backup.cc
  src/handlers/rk_qa_handler.cc
  src/handlers/rk_qa_merge.cc
  src/handlers/rk_qa_store.cc
  src/handlers/rk_qa_sync_document.cc
)

# Form fill ("tesselfill"): stores, sync documents, value encryption, routes.
list(APPEND RK_SERVICE_SOURCES
  src/handlers/rk_json_check.cc
  src/handlers/rk_tessel_fill_cipher.cc
  src/handlers/rk_tessel_fill_handler.cc
  src/handlers/rk_tessel_fill_store.cc
  src/handlers/rk_tessel_fill_sync.cc
)
