-- Output: a million formatted lines (see printing.rill).
local write, format = io.write, string.format
local x = 0.0
for i = 1, 1000 do
  for j = 1, 1000 do
    x = x + 0.25
    write(format("row %d col %d x %f\n", i, j, x))
  end
end
