-- Branches driven by a small congruential generator (see branchy.rill).
local x, a, b, c, d = 1, 0, 0, 0, 0
for _ = 1, 2000 do
  for _ = 1, 10000 do
    x = (x * 75 + 74) % 65537
    if x < 16384 then a = a + 1 end
    if x >= 49152 then b = b + x // 1024 end
    if x > 30000 then
      if x < 40000 then c = c + 3 end
    end
    if x % 2 == 0 then d = d + 1 end
  end
end
print(string.format("%d %d %d %d %d", a, b, c, d, x))
