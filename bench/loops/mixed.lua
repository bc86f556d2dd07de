-- Mixed integer and real updates with conversions (see mixed.rill).
local i, n, m, s, t, x, y = 0, 0, 0, 0, 0, 0.0, 0.0
for _ = 1, 2000 do
  for _ = 1, 10000 do
    i = i + 1
    x = x * 0.5 + i * 0.25
    n = math.floor(x)
    m = n // 3 + i // 5
    y = y + m * 0.001
    s = s + n - m
  end
  i = 0
  t = t + s // 1000
  s = 0
end
print(string.format("%d %f %f", t, x, y))
