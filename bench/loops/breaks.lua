-- Nested loops left early by breaks at two depths (see breaks.rill).
local s, k = 0, 0
for a = 1, 4000 do
  for b = 1, 4000 do
    if a * b > 4000000 then break end
    for c = 1, 60 do
      if c > b then break end
      local t = a + b + c
      local q = t // 7
      if t == q * 7 then
        k = k + 1
        break
      end
      s = s + c
    end
  end
end
print(string.format("%d %d", s, k))
