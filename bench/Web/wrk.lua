-- Alternates the two endpoints, with varying order ids.
local n = 0
request = function()
  n = n + 1
  if n % 2 == 0 then
    return wrk.format("GET", "/orders/" .. (n % 1000))
  end
  return wrk.format("GET", "/report?size=" .. (10 + n % 40))
end
