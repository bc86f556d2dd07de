-- A branch ladder on residues (see ladder.rill).
local i, a, b, c, d = 0, 0, 0, 0, 0
for _ = 1, 2000 do
  for _ = 1, 10000 do
    i = i + 1
    local q = i // 12
    local r = i - q * 12
    if r < 4 then a = a + r end
    if r >= 9 then
      b = b + 1
      if r == 11 then d = d + q // 1000 end
    end
    if r == 6 then c = c + 3 end
  end
end
print(string.format("%d %d %d %d", a, b, c, d))
