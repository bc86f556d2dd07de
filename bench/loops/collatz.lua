-- Collatz steps (see collatz.rill).
local s, m = 0, 0
for n = 1, 100000 do
  local x, c = n, 0
  while x ~= 1 do
    if x % 2 == 0 then x = x // 2 else x = x * 3 + 1 end
    c = c + 1
  end
  s = s + c
  if c > m then m = c end
end
print(string.format("%d %d", s, m))
