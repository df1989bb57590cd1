# The handlers of the REST services; each adds its own block.

# Quick access: handler, store, dated backups, sync document, site list merge.
list(APPEND RK_SERVICE_SOURCES
  src/handlers/rk_dated_backups.cc
  src/handlers/rk_qa_handler.cc
  src/handlers/rk_qa_merge.cc
  src/handlers/rk_qa_store.cc
  src/handlers/rk_qa_sync_document.cc
)
