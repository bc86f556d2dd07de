-- Three nested loops whose counts are the loops' own variables (see triangle.rill).
local n, s, k = 0, 0, 0
for _ = 1, 1000 do
  n = n + 1
  local m = 0
  for _ = 1, n do
    m = m + 1
    for _ = 1, m do
      s = s + m
      if s > 1000000 then s = s - 1000000 end
      k = k + 1
    end
  end
end
print(string.format("%d %d %d", n, s, k))
