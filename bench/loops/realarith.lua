-- Real arithmetic: pi by the rectangle rule, and the logistic map (see realarith.rill).
local h = 1.0 / 40000000
local t, s, x = 0.0, 0.0, 0.3
for _ = 1, 4000 do
  for _ = 1, 10000 do
    t = t + h
    s = s + 4.0 / (1.0 + t * t)
    x = 3.9 * x * (1.0 - x)
  end
end
print(string.format("%f %f %f", s, s * h, x))
