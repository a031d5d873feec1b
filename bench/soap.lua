-- wrk script: POSTs get-currentStats and get-versionInfo in turn on each kept-alive
-- connection. The path names the operation for the nginx baseline, which cannot look
-- at the body; the SOAP servers ignore it. The requests are made in init, once wrk has
-- set the Host header that wrk.format copies.
local function envelope(call)
  return '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"'
      .. ' xmlns:sntr="urn:sntr:gui-connector"><SOAP-ENV:Body>' .. call
      .. '</SOAP-ENV:Body></SOAP-ENV:Envelope>'
end

local requests
local turn = 0

function init(args)
  local headers = { ["Content-Type"] = "text/xml; charset=utf-8" }
  requests = {
    wrk.format("POST", "/currentStats", headers, envelope("<sntr:get-currentStats/>")),
    wrk.format("POST", "/versionInfo", headers, envelope("<sntr:get-versionInfo/>")),
  }
end

function request()
  turn = turn % 2 + 1
  return requests[turn]
end
