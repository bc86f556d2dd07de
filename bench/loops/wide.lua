-- A wide body of reals (see wide.rill).
local p1, p2, p3, p4 = 0.1, 0.2, 0.3, 0.4
for _ = 1, 4000000 do
  local a = p1 * 0.375 + p2 * 0.125
  local b = p2 * 0.375 + p3 * 0.125
  local c = p3 * 0.375 + p4 * 0.125
  local d = p4 * 0.375 + p1 * 0.125
  local e = a * b - c * d + 0.0625
  local f = b * c - d * a + 0.0625
  local g = (a + b) * 0.25 - (c - d) * 0.125 + p4 * 0.375
  local h = (c + d) * 0.25 - (a - b) * 0.125 + p1 * 0.375
  p1 = a + e * 0.5 + h * 0.0625
  p2 = b + f * 0.5 + g * 0.0625
  p3 = c + g * 0.25 + e * 0.0625
  p4 = d + h * 0.25 + f * 0.0625
end
print(string.format("%f %f %f %f", p1, p2, p3, p4))
