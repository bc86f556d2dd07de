-- A loop whose count is a variable the outer body changes (see varcount.rill).
local g, s, h = 7, 0, 0
for _ = 1, 1000000 do
  g = (g * 75 + 74) % 65537
  local m = g // 1600
  for j = 1, m do
    s = s + j
  end
  h = h + m
  s = s % 1048576
end
print(string.format("%d %d %d", s, h, g))
