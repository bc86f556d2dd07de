-- A state machine of if-blocks, left with a break (see states.rill).
local x, n = 7, 0
for _ = 1, 200000 do
  local st, k = 0, 0
  for _ = 1, 64 do
    x = x * 75 + 74
    x = x - x // 65537 * 65537
    k = k + 1
    if st == 2 then
      if x < 30000 then break end
      st = 0
    end
    if st == 1 and x < 20000 then st = 2 end
    if st == 0 and x > 40000 then st = 1 end
  end
  n = n + k
end
print(string.format("%d %d", x, n))
