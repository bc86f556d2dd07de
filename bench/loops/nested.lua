-- Three nested loops, each left early by a break (see nested.rill).
local a, n, k = 0, 0, 0
for _ = 1, 1000 do
  a = a + 1
  if a * a > 160000 then break end
  local b = 0
  for _ = 1, 1000 do
    b = b + 1
    if b > a then break end
    local c = 0
    for _ = 1, 1000 do
      c = c + 1
      local t = a * b + c * c
      if t > 300000 then break end
      n = n + t // 65536
      k = k + 1
    end
  end
end
print(string.format("%d %d %d", a, n, k))
