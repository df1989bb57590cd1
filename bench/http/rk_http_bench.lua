-- wrk script of the loopback HTTP benchmark: the request comes from the
-- environment, and one machine-readable line sums the run up.
wrk.method = os.getenv("RK_METHOD") or "GET"
wrk.path = os.getenv("RK_PATH") or "/"
local user = os.getenv("RK_USER") or ""
if user ~= "" then wrk.headers["UserName"] = user end
-- A request body, when a file names one.
local body_file = os.getenv("RK_BODY_FILE") or ""
if body_file ~= "" then
  local file = assert(io.open(body_file, "rb"))
  wrk.body = file:read("*a")
  file:close()
  wrk.headers["Content-Type"] = "application/json"
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT rps=%.0f p50_us=%d p99_us=%d requests=%d errors=%d\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50), latency:percentile(99),
    summary.requests, e.connect + e.read + e.write + e.status + e.timeout))
end
