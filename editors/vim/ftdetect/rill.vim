" rill programs
autocmd BufNewFile,BufRead *.rill setfiletype rill
