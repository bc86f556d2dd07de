-- A Mandelbrot escape count in reals (see mandel.rill).
local k, zr = 0, 0.0
for j = 1, 320 do
  local ci = j * 0.0075 - 1.2
  for i = 1, 480 do
    local cr = i * 0.00625 - 2.1
    local zi = 0.0
    zr = 0.0
    for _ = 1, 1000 do
      if zr * zr + zi * zi > 4.0 then break end
      local t = zr * zr - zi * zi + cr
      zi = 2.0 * zr * zi + ci
      zr = t
      k = k + 1
    end
  end
end
print(string.format("%d %f", k, zr))
